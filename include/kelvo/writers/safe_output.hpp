// Outputs that never destroy what the user has: a command refuses to write
// over its own input, refuses to overwrite an existing recording or fill a
// non-empty folder without --force, and writes every file under a temporary
// name that is renamed only once the file is complete, so an interrupted run
// never leaves a half-written file under the final name.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "kelvo/export.hpp"

namespace kelvo {

/// Suffix of files being written.
inline constexpr std::string_view PARTIAL_SUFFIX = ".partial";

/// OutputRefused when `output` names the same file as `input` (also through
/// hard or symbolic links).
KELVO_API void refuse_same_file(const std::filesystem::path& input,
                                const std::filesystem::path& output, std::string_view option);

/// OutputRefused when `output` exists and `force` is not given (or when it is a folder).
KELVO_API void refuse_existing_file(const std::filesystem::path& output, bool force,
                                    std::string_view option);

/// A file written under `<final>.partial` and renamed to its final name by
/// `commit()`; destroyed uncommitted, the partial file is removed.
class KELVO_API PendingFile {
  public:
    explicit PendingFile(std::filesystem::path final_path);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::filesystem::path& path() const { return _partial; }
    const std::filesystem::path& final_path() const { return _final; }
    /// Renames the complete file to its final name; RuntimeError when that fails.
    void commit();
    /// Removes the partial file.
    void discard();

  private:
    std::filesystem::path _final;
    std::filesystem::path _partial;
    bool _done = false;
};

/// Writes `bytes` to `file` through a PendingFile.
KELVO_API void write_file_atomically(const std::filesystem::path& file, std::string_view bytes);

/// An output folder prepared for one run.
class KELVO_API OutputFolder {
  public:
    /// Creates the folder, or takes an existing empty one. A non-empty folder
    /// is refused without `force`; with it, the files an earlier run of the
    /// kit wrote there (maps, images, point clouds, frames.csv, run.json, a
    /// calibration with its report, and
    /// their partial files) are removed so that runs never mix, and nothing
    /// else is touched.
    OutputFolder(const std::filesystem::path& dir, bool force, std::string_view option);
    const std::filesystem::path& path() const { return _dir; }
    /// Removes the folder again when this run created it and left it empty.
    void remove_if_unused() const;

  private:
    std::filesystem::path _dir;
    bool _created = false;
};

/// True for a file name of the kind OutputFolder clears with --force.
KELVO_API bool is_kit_output_name(const std::string& name);

}  // namespace kelvo
