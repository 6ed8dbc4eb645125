// Where libkelvo_core.so lies: the libraries that load beside it on demand
// (the camera catalogue, the OpenVINO engine) are installed in the same folder.
#pragma once

#include <filesystem>

namespace kelvo::detail {

/// The folder of libkelvo_core.so, or empty when the loader cannot tell.
std::filesystem::path core_library_dir();

}  // namespace kelvo::detail
