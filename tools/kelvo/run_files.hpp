// The files that explain a batch run (`kelvo depth`, `kelvo export`):
// frames.csv links every file written to its source frame and the
// calibration in force; run.json states the back-end, its variant and
// control values, the calibrations, the range and the kit's version.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "calibration_names.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "options.hpp"
#include "safe_output.hpp"

namespace kelvo {
class Pipeline;
}

namespace kelvo::cli {

/// frames.csv, written row by row under its partial name and renamed by `commit()`.
class FramesCsv {
  public:
    FramesCsv(const std::filesystem::path& dir, const std::vector<std::string>& columns);
    void row(const std::vector<std::string>& cells);
    void commit();
    /// Removes the partial file (a run that wrote nothing).
    void discard();

  private:
    PendingFile _file;
    std::ofstream _out;
};

/// The part of run.json every batch run has.
Json run_json(const std::string& command, const std::filesystem::path& recording,
              const Pipeline& pipeline, const CalibrationNames& calibrations,
              const RangeArgs& range);

/// The index a frame's files are named by: its place in the recording's
/// frame index, or its sequence number less one without an index.
long long file_index(const std::optional<std::int64_t>& source_frame_idx, std::int64_t sequence);

}  // namespace kelvo::cli
