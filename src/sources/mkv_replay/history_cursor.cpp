#include "sources/mkv_replay/history_cursor.hpp"

namespace kelvo::detail {

bool HistoryCursor::move_to(std::int64_t pts_us) {
    std::int64_t chosen = -1;
    if (_history) {
        // Histories are short next to the frame count: a walk with an early stop.
        for (std::size_t i = 0; i < _history->size(); ++i) {
            if ((*_history)[i].first > pts_us) break;
            chosen = static_cast<std::int64_t>(i);
        }
    }
    const bool changed = chosen != _entry;
    _entry = chosen;
    return changed;
}

const Json* HistoryCursor::payload() const {
    if (!_history || _entry < 0) return nullptr;
    return &(*_history)[static_cast<std::size_t>(_entry)].second;
}

}  // namespace kelvo::detail
