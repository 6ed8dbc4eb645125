# The "rectify-passthrough" back-end plugin.
kelvo_add_library(kelvo_rectify_passthrough PLUGIN
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/rectify_passthrough.cpp
  PUBLIC_DEPS kelvo_core)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_rectify_passthrough)
