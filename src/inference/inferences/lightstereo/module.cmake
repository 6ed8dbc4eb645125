# The "lightstereo" back-end plugin. It reaches the OpenVINO engine through
# kelvo_core's loader, so it builds and registers without the runtime.
kelvo_add_library(kelvo_lightstereo PLUGIN
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lightstereo.cpp
  PUBLIC_DEPS kelvo_core
  PRIVATE_DEPS kelvo_neural_common)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_lightstereo)
