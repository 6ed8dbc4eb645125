# Back-end plugin "crestereo-initial".
kelvo_add_library(kelvo_crestereo_initial PLUGIN
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/crestereo_initial.cpp
  PUBLIC_DEPS kelvo_core kelvo_neural_common)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_crestereo_initial)
