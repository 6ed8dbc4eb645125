# Back-ends of issue "depth from recordings" and the frame pipeline.
kelvo_add_test(stereo_bm_test LABELS unit LIBS kelvo::kelvo_stereo_bm)
kelvo_add_test(rectify_passthrough_test LABELS unit LIBS kelvo::kelvo_rectify_passthrough)
kelvo_add_test(pipeline_test LABELS integration threaded
  LIBS kelvo::kelvo_stereo_bm kelvo::kelvo_rectify_passthrough TIMEOUT 600)
# Nothing references the back-end libraries by symbol: keep them linked so
# their registrars run.
target_link_options(pipeline_test PRIVATE -Wl,--no-as-needed)
kelvo_add_test(pipeline_cli_test LABELS integration TIMEOUT 600 SOURCES kelvo_cli_test.cpp)
add_dependencies(pipeline_cli_test kelvo)
kelvo_add_test(pipeline_neural_test LABELS integration threaded)
kelvo_add_test(pipeline_plugin_test LABELS integration threaded)
add_dependencies(pipeline_plugin_test kelvo_stereo_bm kelvo_rectify_passthrough)
kelvo_add_test(pipeline_recording_test LABELS integration threaded
  LIBS kelvo::kelvo_recording_manager kelvo::kelvo_mkv_replay kelvo::kelvo_stereo_bm TIMEOUT 300)
target_link_options(pipeline_recording_test PRIVATE -Wl,--no-as-needed)
add_dependencies(pipeline_recording_test kelvo)
