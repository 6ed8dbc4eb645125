# The recorder lives in kelvo_core: the pipeline and the recording controller
# use it, and it needs nothing beyond FFmpeg's muxer.
target_sources(kelvo_core PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/mkv_recorder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/matroska_writer.cpp)
target_link_libraries(kelvo_core PRIVATE PkgConfig::FFMPEG)
