# The recorder's sustained rate against a bare libavformat stream copy.
kelvo_add_bench(recorder_bench LIBS PkgConfig::FFMPEG opencv_imgcodecs opencv_imgproc)
