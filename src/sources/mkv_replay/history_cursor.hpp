// A position in one of a recording's event histories (calibration updates,
// camera-state snapshots).
#pragma once

#include <cstdint>

#include "sources/mkv_replay/mkv_readers.hpp"

namespace kelvo::detail {

/// The entry of a history in force at a time: the last one at or before it,
/// the later one in the file among equal times. Not thread-safe.
class HistoryCursor {
  public:
    HistoryCursor() = default;
    /// Starts at `entry` (-1: before the first entry).
    explicit HistoryCursor(const History* history, std::int64_t entry = -1)
        : _history(history), _entry(entry) {}

    /// Moves to the entry in force at `pts_us`; true when it is another
    /// entry than before.
    bool move_to(std::int64_t pts_us);
    /// The entry's position in the history; -1 before the first entry.
    std::int64_t entry() const { return _entry; }
    /// The entry's payload; null before the first entry.
    const Json* payload() const;

  private:
    const History* _history = nullptr;
    std::int64_t _entry = -1;
};

}  // namespace kelvo::detail
