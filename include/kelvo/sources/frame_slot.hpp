// The drop-to-latest hand-over between a source's pump and grab(): one
// frame at most, so memory never grows with a slow consumer, and grab()
// always gets the newest frame.
#pragma once

#include <cstdint>
#include <utility>

#include "kelvo/export.hpp"
#include "kelvo/sources/types.hpp"
#include "kelvo/sync.hpp"

namespace kelvo {

/// Thread-safe; publish() runs on a pump, take() on any consumer thread.
/// States: open (frames may come) <-> closed (no more frames: take() does
/// not wait). A fresh slot is open.
class KELVO_API FrameSlot {
  public:
    /// Stores `frame` as the newest one, counting it as grabbed and the one
    /// it replaces (not taken yet) as dropped; wakes one waiter.
    void publish(FramePtr frame) KELVO_EXCLUDES(_mutex);
    /// publish() only while `still_current()` holds, evaluated under the
    /// slot's lock, so a caller that empties the slot after invalidating
    /// (a seek) never sees a stale frame arrive behind it. False when dropped.
    template <typename Predicate>
    bool publish_if(FramePtr frame, Predicate still_current) KELVO_EXCLUDES(_mutex) {
        MutexLock lock(_mutex);
        if (!still_current()) return false;
        _store(std::move(frame));
        return true;
    }
    /// The newest frame, waiting at most `timeout_s` seconds while the slot is
    /// empty and open; null when none came.
    FramePtr take(double timeout_s) KELVO_EXCLUDES(_mutex);
    /// Empties the slot without counting a drop (pause, seek).
    void clear() KELVO_EXCLUDES(_mutex);
    /// (grabbed, dropped) since the previous call; both counters restart at 0.
    std::pair<std::int64_t, std::int64_t> take_stats() KELVO_EXCLUDES(_mutex);
    /// No more frames will come: every waiter wakes, take() stops waiting.
    void close() KELVO_EXCLUDES(_mutex);
    /// Frames may come again (a source opened anew).
    void reopen() KELVO_EXCLUDES(_mutex);
    bool is_closed() const KELVO_EXCLUDES(_mutex);

  private:
    void _store(FramePtr frame) KELVO_REQUIRES(_mutex);

    mutable Mutex _mutex;
    CondVar _cv;
    FramePtr _latest KELVO_GUARDED_BY(_mutex);
    std::int64_t _grabbed KELVO_GUARDED_BY(_mutex) = 0;
    std::int64_t _dropped KELVO_GUARDED_BY(_mutex) = 0;
    bool _closed KELVO_GUARDED_BY(_mutex) = false;
};

}  // namespace kelvo
