# The recording controller: its own library over kelvo_core (which holds the recorder).
kelvo_add_library(kelvo_recording_manager
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/recording_manager.cpp
  PUBLIC_DEPS kelvo_core)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_recording_manager)
