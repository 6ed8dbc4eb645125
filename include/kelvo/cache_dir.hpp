// The kit's cache directory (compiled networks, downloaded model files).
#pragma once

#include <filesystem>

#include "kelvo/export.hpp"

namespace kelvo {

/// The cache directory: `~/.cache/kelvo_camera_sdk` unless overridden.
KELVO_API std::filesystem::path get_cache_dir();
/// Overrides the cache directory for this process; an empty path restores the default.
KELVO_API void set_cache_dir(const std::filesystem::path& path);

}  // namespace kelvo
