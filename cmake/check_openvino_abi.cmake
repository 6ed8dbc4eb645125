# kelvo_check_openvino_abi(): refuses, at configure time, an OpenVINO runtime
# built with the other libstdc++ string ABI than this build. The engine hands
# std::string to the runtime, and Debian's OpenCV, spdlog and fmt use the new
# ABI, so a mismatch would only show as unresolved symbols at link time or as
# a crash at run time.
function(kelvo_check_openvino_abi)
  if(DEFINED CACHE{KELVO_OPENVINO_ABI_OK} AND KELVO_OPENVINO_ABI_OK
     AND KELVO_OPENVINO_ABI_CHECKED_DIR STREQUAL OpenVINO_DIR)
    return()
  endif()
  # What the runtime's package says it was built with.
  get_target_property(defs openvino::runtime INTERFACE_COMPILE_DEFINITIONS)
  if(NOT defs)
    set(defs "")
  endif()
  set(package_abi "")
  if(DEFINED OpenVINO_GLIBCXX_USE_CXX11_ABI)
    set(package_abi "${OpenVINO_GLIBCXX_USE_CXX11_ABI}")
  endif()
  if("_GLIBCXX_USE_CXX11_ABI=0" IN_LIST defs OR package_abi STREQUAL "0")
    message(FATAL_ERROR
      "The OpenVINO runtime in ${OpenVINO_DIR} is built with the old C++ string ABI "
      "(_GLIBCXX_USE_CXX11_ABI=0); this kit and Debian's OpenCV, spdlog and fmt use the new one. "
      "Install an OpenVINO build with _GLIBCXX_USE_CXX11_ABI=1 (the PyPI wheel >= 2024.0 is one), "
      "or configure with -DKELVO_OPENVINO=OFF.")
  endif()
  # What the library really exports: a program compiled like the kit's code
  # (new ABI) must link against ov::Core::read_model(const std::string&, ...).
  set(dir ${CMAKE_BINARY_DIR}/CMakeFiles/kelvo_openvino_abi)
  file(WRITE ${dir}/abi.cpp [=[
// The kit's ABI, whatever the runtime's package definitions ask for.
#undef _GLIBCXX_USE_CXX11_ABI
#define _GLIBCXX_USE_CXX11_ABI 1
#include <memory>
#include <string>
#include <openvino/runtime/core.hpp>
int main(int argc, char**) {
    if (argc > 1) {
        ov::Core core;
        std::shared_ptr<ov::Model> model = core.read_model(std::string("none.onnx"));
        return model ? 0 : 1;
    }
    return 0;
}
]=])
  try_compile(abi_ok ${dir}/build SOURCES ${dir}/abi.cpp
    LINK_LIBRARIES openvino::runtime
    CXX_STANDARD 20
    OUTPUT_VARIABLE output)
  if(NOT abi_ok)
    file(WRITE ${dir}/output.log "${output}")
    message(FATAL_ERROR
      "A program built with the new C++ string ABI (_GLIBCXX_USE_CXX11_ABI=1, as this kit is) "
      "does not link against the OpenVINO runtime in ${OpenVINO_DIR}: the runtime is built with "
      "the other ABI or is unusable. Install an OpenVINO build with _GLIBCXX_USE_CXX11_ABI=1 "
      "(the PyPI wheel >= 2024.0 is one), or configure with -DKELVO_OPENVINO=OFF. "
      "Compiler output: ${dir}/output.log")
  endif()
  set(KELVO_OPENVINO_ABI_OK ON CACHE INTERNAL "The OpenVINO runtime uses this build's string ABI")
  set(KELVO_OPENVINO_ABI_CHECKED_DIR "${OpenVINO_DIR}" CACHE INTERNAL "")
endfunction()
