# The live camera source: FFmpeg device input through the platform back-end.
kelvo_add_library(kelvo_live_capture
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/live_capture.cpp
  PUBLIC_DEPS kelvo_core
  # The catalogue libraries are linked so spec_by_sku finds every camera.
  PRIVATE_DEPS kelvo_fenwa PkgConfig::FFMPEG)
set_property(GLOBAL APPEND PROPERTY KELVO_CLI_LIBS kelvo::kelvo_live_capture)
# Nothing references the catalogue libraries' symbols; keep them as needed
# entries anyway so their entries register whenever a host loads this library.
target_link_options(kelvo_live_capture PRIVATE -Wl,--no-as-needed)
