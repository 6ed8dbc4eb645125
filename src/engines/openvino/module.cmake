# The OpenVINO engine. kelvo_core always carries the loader (runner_loader.cpp),
# which opens libkelvo_openvino_runner.so on first use; the engine library
# itself is built only when the OpenVINO runtime is found, so the rest of the
# kit never depends on it.
target_sources(kelvo_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/runner_loader.cpp)

set(KELVO_HAVE_OPENVINO OFF)
if(KELVO_OPENVINO STREQUAL "ON")
  find_package(OpenVINO CONFIG REQUIRED COMPONENTS Runtime)
  set(KELVO_HAVE_OPENVINO ON)
elseif(KELVO_OPENVINO STREQUAL "AUTO")
  find_package(OpenVINO CONFIG QUIET COMPONENTS Runtime)
  if(OpenVINO_FOUND)
    set(KELVO_HAVE_OPENVINO ON)
  else()
    message(STATUS "OpenVINO not found: the OpenVINO engine is not built")
  endif()
elseif(NOT KELVO_OPENVINO STREQUAL "OFF")
  message(FATAL_ERROR "KELVO_OPENVINO must be AUTO, ON or OFF (got '${KELVO_OPENVINO}')")
endif()
set(KELVO_HAVE_OPENVINO ${KELVO_HAVE_OPENVINO} CACHE INTERNAL "The OpenVINO engine is built")

if(KELVO_HAVE_OPENVINO)
  kelvo_add_library(kelvo_openvino_runner
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/openvino_runner.cpp
    PUBLIC_DEPS kelvo_core
    PRIVATE_DEPS openvino::runtime)
endif()
