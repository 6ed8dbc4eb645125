# The "stereo-bm" back-end plugin.
kelvo_add_library(kelvo_stereo_bm PLUGIN
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stereo_bm.cpp
  PUBLIC_DEPS kelvo_core)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_stereo_bm)
