# Back-end plugin "depth-anything-v2-small".
kelvo_add_library(kelvo_depth_anything_v2_small PLUGIN
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/depth_anything_v2_small.cpp
  PUBLIC_DEPS kelvo_core kelvo_neural_common)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_depth_anything_v2_small)
