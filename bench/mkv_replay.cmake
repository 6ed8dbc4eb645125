kelvo_add_bench(mkv_replay_bench LIBS kelvo::kelvo_mkv_replay PkgConfig::FFMPEG)
