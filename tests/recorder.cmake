# The recorder and the recording controller.
kelvo_add_test(recorder_test LABELS unit threaded
  LIBS kelvo::kelvo_core PkgConfig::FFMPEG opencv_imgcodecs)
# Forks recording children and kills them.
kelvo_add_test(recorder_crash_test LABELS integration threaded
  LIBS kelvo::kelvo_core PkgConfig::FFMPEG opencv_imgcodecs)
kelvo_add_test(recording_manager_test LABELS unit threaded
  LIBS kelvo::kelvo_recording_manager PkgConfig::FFMPEG opencv_imgcodecs)
# Record, then replay with MkvReplay.
kelvo_add_test(recorder_roundtrip_test LABELS integration threaded
  LIBS kelvo::kelvo_recording_manager kelvo::kelvo_mkv_replay kelvo::kelvo_fenwa
    PkgConfig::FFMPEG opencv_imgcodecs)
