# Helpers shared by the neural back-end plugins (output shapes, CREStereo variants).
kelvo_add_library(kelvo_neural_common
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/neural_common.cpp
  PUBLIC_DEPS kelvo_core)
