# Platform layer, discovery and the live camera source.
kelvo_add_test(platform_test LABELS unit LIBS kelvo::kelvo_fenwa)
kelvo_add_test(live_capture_test LABELS integration threaded
  LIBS kelvo::kelvo_live_capture kelvo::kelvo_fenwa PkgConfig::FFMPEG TIMEOUT 300)
kelvo_add_test(platform_cli_test LABELS integration)
add_dependencies(platform_cli_test kelvo)
