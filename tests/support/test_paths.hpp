// Paths of the build tree and scratch folders for tests.
#pragma once

#include <filesystem>
#include <string>

namespace kelvo::testing {

/// A fresh, empty folder under the build tree, removed when the object dies.
class TempDir {
  public:
    explicit TempDir(const std::string& hint = "tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return _path; }
    std::filesystem::path operator/(const std::string& name) const { return _path / name; }

  private:
    std::filesystem::path _path;
};

/// Runs a shell command; returns its exit status and fills `output` with stdout.
int run_command(const std::string& command, std::string* output = nullptr);

/// Debian's opencv-doc sample data folder.
std::filesystem::path opencv_sample_dir();

}  // namespace kelvo::testing
