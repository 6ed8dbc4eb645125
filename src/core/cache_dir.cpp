#include "kelvo/cache_dir.hpp"

#include <cstdlib>
#include <mutex>

namespace kelvo {
namespace {
std::mutex g_mutex;
std::filesystem::path g_override;
}  // namespace

std::filesystem::path get_cache_dir() {
    {
        std::lock_guard lock(g_mutex);
        if (!g_override.empty()) return g_override;
    }
    const char* home = std::getenv("HOME");
    std::filesystem::path base = home && *home ? home : std::filesystem::temp_directory_path();
    return base / ".cache" / "kelvo_camera_sdk";
}

void set_cache_dir(const std::filesystem::path& path) {
    std::lock_guard lock(g_mutex);
    g_override = path;
}

}  // namespace kelvo
