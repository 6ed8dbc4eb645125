# The neural bases, the blob helper, the engine loader and LightStereo's own
# logic; built with or without OpenVINO.
kelvo_add_test(neural_blob_test LABELS unit)
kelvo_add_test(neural_base_test LABELS unit)
target_compile_definitions(neural_base_test PRIVATE
  KELVO_TEST_HAVE_OPENVINO=$<BOOL:${KELVO_HAVE_OPENVINO}>
  KELVO_LIBRARY_DIR="${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
if(KELVO_HAVE_OPENVINO)
  add_dependencies(neural_base_test kelvo_openvino_runner)
endif()
kelvo_add_test(lightstereo_test LABELS unit LIBS kelvo::kelvo_lightstereo)
