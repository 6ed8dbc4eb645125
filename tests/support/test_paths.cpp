#include "support/test_paths.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>

namespace kelvo::testing {

TempDir::TempDir(const std::string& hint) {
    static std::atomic<int> counter{0};
    _path = std::filesystem::path(KELVO_BINARY_DIR) / "test_tmp" /
            (hint + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(_path);
    std::filesystem::create_directories(_path);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(_path, ec);
}

int run_command(const std::string& command, std::string* output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buffer{};
    std::string text;
    std::size_t n = 0;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        text.append(buffer.data(), n);
    const int status = ::pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path opencv_sample_dir() {
    return "/usr/share/doc/opencv-doc/examples/data";
}

}  // namespace kelvo::testing
