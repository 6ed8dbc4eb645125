# Back-end plugin "metric3d-v2-vit-small".
kelvo_add_library(kelvo_metric3d_v2_vit_small PLUGIN
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/metric3d_v2_vit_small.cpp
  PUBLIC_DEPS kelvo_core kelvo_neural_common)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_metric3d_v2_vit_small)
