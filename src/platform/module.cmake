# Platform camera layer and camera discovery: part of kelvo_core. Only the
# Linux back-end is built here; other platforms install theirs at run time.
target_sources(kelvo_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/platform.cpp)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  target_sources(kelvo_core PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/v4l2_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../cameras/discovery.cpp)
endif()
