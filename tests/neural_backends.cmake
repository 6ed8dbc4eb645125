# Tests of the CREStereo, Metric3D and Depth Anything back-ends.
kelvo_add_test(crestereo_test LABELS unit
  LIBS kelvo::kelvo_crestereo_combined kelvo::kelvo_crestereo_initial)
kelvo_add_test(metric3d_test LABELS unit LIBS kelvo::kelvo_metric3d_v2_vit_small)
kelvo_add_test(depth_anything_test LABELS unit LIBS kelvo::kelvo_depth_anything_v2_small)
# Loaded from the plugin folder, not linked.
kelvo_add_test(crestereo_plugin_test LABELS unit)
add_dependencies(crestereo_plugin_test kelvo_crestereo_combined kelvo_crestereo_initial
  kelvo_metric3d_v2_vit_small kelvo_depth_anything_v2_small)

# End to end through the OpenVINO engine, on tiny networks with the real
# input and output signatures (tests/models/make_backend_models.py).
if(KELVO_HAVE_OPENVINO AND KELVO_PYTHON)
  execute_process(COMMAND ${KELVO_PYTHON} -c "import onnx, numpy"
    RESULT_VARIABLE kelvo_backend_onnx_missing OUTPUT_QUIET ERROR_QUIET)
  if(kelvo_backend_onnx_missing)
    message(STATUS "${KELVO_PYTHON} lacks onnx/numpy: back-end engine tests are skipped")
  else()
    set(KELVO_BACKEND_MODELS_DIR ${CMAKE_BINARY_DIR}/backend_models)
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

    set(kelvo_backend_e2e
      "crestereo_openvino_test\;kelvo::kelvo_crestereo_combined\;kelvo::kelvo_crestereo_initial"
      "metric3d_openvino_test\;kelvo::kelvo_metric3d_v2_vit_small"
      "depth_anything_openvino_test\;kelvo::kelvo_depth_anything_v2_small")
    foreach(entry ${kelvo_backend_e2e})
      list(POP_FRONT entry test_name)
      kelvo_add_test(${test_name} LABELS integration openvino LIBS ${entry})
      add_dependencies(${test_name} kelvo_backend_models kelvo_openvino_runner)
      target_compile_definitions(${test_name} PRIVATE
        KELVO_BACKEND_MODELS_DIR="${KELVO_BACKEND_MODELS_DIR}")
    endforeach()
  endif()
endif()

# The back-ends through the frame pipeline.
if(TARGET kelvo_backend_models)
  set(kelvo_backend_pipeline
    "crestereo_pipeline_test\;kelvo::kelvo_crestereo_combined\;kelvo::kelvo_crestereo_initial"
    "metric3d_pipeline_test\;kelvo::kelvo_metric3d_v2_vit_small"
    "depth_anything_pipeline_test\;kelvo::kelvo_depth_anything_v2_small")
  foreach(entry ${kelvo_backend_pipeline})
    list(POP_FRONT entry test_name)
    kelvo_add_test(${test_name} LABELS integration threaded openvino LIBS ${entry} TIMEOUT 600)
    add_dependencies(${test_name} kelvo_backend_models kelvo_openvino_runner)
    target_compile_definitions(${test_name} PRIVATE
      KELVO_BACKEND_MODELS_DIR="${KELVO_BACKEND_MODELS_DIR}")
    # Nothing references the back-ends by symbol: keep them linked so they register.
    target_link_options(${test_name} PRIVATE -Wl,--no-as-needed)
  endforeach()
endif()
