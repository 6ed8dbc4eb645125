# Tests of the OpenVINO engine on real networks through the real runtime.
if(NOT KELVO_HAVE_OPENVINO)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/models/test_models.cmake)
if(NOT KELVO_TEST_MODELS_OK)
  return()
endif()
foreach(test openvino_runner_test openvino_runner_threaded_test lightstereo_openvino_test
    neural_openvino_test)
  if(test STREQUAL "openvino_runner_threaded_test")
    kelvo_add_test(${test} LABELS integration threaded openvino LIBS kelvo::kelvo_lightstereo)
  else()
    kelvo_add_test(${test} LABELS integration openvino LIBS kelvo::kelvo_lightstereo)
  endif()
  add_dependencies(${test} kelvo_test_models kelvo_openvino_runner)
  target_compile_definitions(${test} PRIVATE KELVO_TEST_MODELS_DIR="${KELVO_TEST_MODELS_DIR}")
endforeach()

# The `kelvo` command with LightStereo, as a user runs it.
kelvo_add_test(lightstereo_cli_test LABELS integration openvino TIMEOUT 600)
add_dependencies(lightstereo_cli_test kelvo kelvo_test_models kelvo_openvino_runner)
target_compile_definitions(lightstereo_cli_test PRIVATE
  KELVO_TEST_MODELS_DIR="${KELVO_TEST_MODELS_DIR}")
