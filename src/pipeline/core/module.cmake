# The frame pipeline and the synthetic test scene live in kelvo_core.
target_sources(kelvo_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/pipeline.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_worker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_handout.cpp
  ${CMAKE_CURRENT_LIST_DIR}/synthetic_scene.cpp)
