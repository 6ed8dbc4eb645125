kelvo_add_bench(live_capture_bench LIBS kelvo::kelvo_live_capture kelvo::kelvo_corvan PkgConfig::FFMPEG)
