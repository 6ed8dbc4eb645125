# The OpenVINO engine against the bare runtime on the same network.
if(NOT KELVO_HAVE_OPENVINO)
  return()
endif()
include(${PROJECT_SOURCE_DIR}/tests/models/test_models.cmake)
if(NOT KELVO_TEST_MODELS_OK)
  return()
endif()
# The bare-runtime side links OpenVINO directly; imported targets are per folder.
find_package(OpenVINO CONFIG REQUIRED COMPONENTS Runtime)
kelvo_add_bench(openvino_runner_bench LIBS openvino::runtime)
add_dependencies(openvino_runner_bench kelvo_test_models kelvo_openvino_runner)
target_compile_definitions(openvino_runner_bench PRIVATE
  KELVO_TEST_MODELS_DIR="${KELVO_TEST_MODELS_DIR}")
