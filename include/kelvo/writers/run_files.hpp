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

#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/calibration_names.hpp"
#include "kelvo/writers/safe_output.hpp"

#include "kelvo/export.hpp"

namespace kelvo {
class Pipeline;
}

namespace kelvo {

/// The frames a run takes, as the user gave them (run.json's "range").
struct RunRange {
    std::string start;         ///< a position (kelvo/position.hpp); empty: the first frame
    std::string end;           ///< empty: the end of the recording
    long long every = 1;       ///< every Nth frame
    long long max_frames = 0;  ///< 0: no limit
};

/// frames.csv, written row by row under its partial name and renamed by `commit()`.
class KELVO_API FramesCsv {
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
KELVO_API Json run_json(const std::string& command, const std::filesystem::path& recording,
                        const Pipeline& pipeline, const CalibrationNames& calibrations,
                        const RunRange& range);

/// The index a frame's files are named by: its place in the recording's
/// frame index, or its sequence number less one without an index.
KELVO_API long long file_index(const std::optional<std::int64_t>& source_frame_idx,
                               std::int64_t sequence);

}  // namespace kelvo
