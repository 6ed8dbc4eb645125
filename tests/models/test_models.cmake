# Generates the tiny ONNX networks of the engine tests and benchmark, and the
# back-end networks with the real input and output signatures, into the build
# tree with the build's Python (KELVO_PYTHON, which has `onnx`). Defines the
# targets kelvo_test_models and kelvo_backend_models and KELVO_TEST_MODELS_DIR
# and KELVO_BACKEND_MODELS_DIR; sets KELVO_TEST_MODELS_OK to OFF when they
# cannot be made.
set(KELVO_TEST_MODELS_DIR ${CMAKE_BINARY_DIR}/test_models)
set(KELVO_BACKEND_MODELS_DIR ${CMAKE_BINARY_DIR}/backend_models)
if(TARGET kelvo_test_models)
  # Already defined from another folder (tests, then bench).
  set(KELVO_TEST_MODELS_OK ON)
  return()
endif()
set(KELVO_TEST_MODELS_OK OFF)
if(NOT KELVO_PYTHON)
  message(STATUS "KELVO_PYTHON not set: OpenVINO tests and benchmark are skipped")
  return()
endif()
execute_process(COMMAND ${KELVO_PYTHON} -c "import onnx, numpy"
  RESULT_VARIABLE kelvo_onnx_missing OUTPUT_QUIET ERROR_QUIET)
if(kelvo_onnx_missing)
  message(STATUS "${KELVO_PYTHON} lacks onnx/numpy: OpenVINO tests and benchmark are skipped")
  return()
endif()

set(kelvo_test_model_names one_input two_inputs multi_output rank3 dynamic fp16_output
  int64_output no_input lightstereo_standin bench_stereo)
set(kelvo_test_model_files "")
foreach(model ${kelvo_test_model_names})
  list(APPEND kelvo_test_model_files ${KELVO_TEST_MODELS_DIR}/${model}.onnx)
endforeach()
add_custom_command(OUTPUT ${kelvo_test_model_files}
  COMMAND ${KELVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/models/make_test_models.py
          ${KELVO_TEST_MODELS_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/tests/models/make_test_models.py
  COMMENT "Generating the ONNX test networks")
add_custom_target(kelvo_test_models DEPENDS ${kelvo_test_model_files})

set(kelvo_backend_model_files
  ${KELVO_BACKEND_MODELS_DIR}/crestereo_combined.onnx
  ${KELVO_BACKEND_MODELS_DIR}/crestereo_initial.onnx
  ${KELVO_BACKEND_MODELS_DIR}/metric3d.onnx
  ${KELVO_BACKEND_MODELS_DIR}/depth_anything/model.onnx
  ${KELVO_BACKEND_MODELS_DIR}/depth_anything/model.onnx_data)
add_custom_command(OUTPUT ${kelvo_backend_model_files}
  COMMAND ${KELVO_PYTHON} ${PROJECT_SOURCE_DIR}/tests/models/make_backend_models.py
          ${KELVO_BACKEND_MODELS_DIR}
  DEPENDS ${PROJECT_SOURCE_DIR}/tests/models/make_backend_models.py
  COMMENT "Generating the back-end ONNX test networks")
add_custom_target(kelvo_backend_models DEPENDS ${kelvo_backend_model_files})
set(KELVO_TEST_MODELS_OK ON)
