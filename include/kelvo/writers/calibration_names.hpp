// The names under which a run's files refer to the calibration in force at a
// frame ("factory", "update:N", "none"): the same in frames.csv of `kelvo
// depth` and `kelvo export` and in the Python batch's frame table.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"

#include "kelvo/export.hpp"

namespace kelvo {

/// Names the calibration the replay has in force at a time, the way the
/// replay chooses it: "factory" (the base calibration), "update:N" (entry N
/// of the recording's calibration history) or "none".
class KELVO_API CalibrationNames {
  public:
    explicit CalibrationNames(const MkvReplay& replay);
    /// The name for a frame at `pts_us`; "none" when the frame was not rectified.
    std::string at(std::int64_t pts_us, bool rectified) const;
    /// {"factory": {"rel_us": null, "calibration": ...}, "update:0": {"rel_us": ..., ...}}.
    Json table() const;

  private:
    Json _base;  ///< null without one
    std::vector<std::pair<std::int64_t, Json>> _history;
    /// The entry in force after entry i: i itself, or the one before when i
    /// does not build (the replay then keeps the previous calibration); -1 is
    /// the base.
    std::vector<std::int64_t> _effective;
};

}  // namespace kelvo
