# The replay source: recordings read back through libavformat.
kelvo_add_library(kelvo_mkv_replay
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/mkv_readers.cpp
    ${CMAKE_CURRENT_LIST_DIR}/recording_contents.cpp
    ${CMAKE_CURRENT_LIST_DIR}/history_cursor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/replay_demuxer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/replay_position.cpp
    ${CMAKE_CURRENT_LIST_DIR}/replay_pump.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mkv_replay.cpp
  PUBLIC_DEPS kelvo_core
  PRIVATE_DEPS PkgConfig::FFMPEG)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_mkv_replay)
