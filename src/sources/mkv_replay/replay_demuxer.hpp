// The replay's container and every read and seek on it. Both replay modes
// read frames through the one step here, so end of file, empty packets and
// loop rewinds follow the same rules in both.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "kelvo/sources/frame_slot.hpp"
#include "kelvo/sync.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"

namespace kelvo::detail {

/// A demux pass runs from a position until the next reposition; each
/// reposition starts a new generation, which tells a reader holding a packet
/// of the old pass to drop it. Thread-safe: reads, seeks and close() are
/// serialised by one lock, which is never held while a frame is converted,
/// paced or dispatched.
class ReplayDemuxer {
  public:
    enum class Read { frame, end_of_pass, closed };

    /// Takes the opened container of `path`; `stream_index` is its video stream.
    void attach(ReplayInput container, std::string path, int stream_index, AVRational time_base)
        KELVO_EXCLUDES(_mutex);
    bool is_open() const { return _open.load(); }
    /// Releases the container; no read or seek reaches it afterwards.
    void close() KELVO_EXCLUDES(_mutex);
    std::int64_t generation() const { return _generation.load(); }

    /// Reads the next frame packet of the current pass into `packet` and the
    /// pass's generation into `generation`. The first packet of a pass that is
    /// empty or has no timestamp is skipped; a later one ends the pass, like
    /// the end of the file. `closed` once close() has run; FfmpegError on a
    /// demuxer error.
    Read read_next(AVPacket* packet, std::int64_t* generation) KELVO_EXCLUDES(_mutex);

    /// Moves to the frame at or before `pts_us`, starts a new generation and
    /// empties `slot` while still holding the lock, so a frame of the old pass
    /// can never land in the slot after this returns. Returns the new
    /// generation; on failure throws and nothing changed.
    std::int64_t seek(std::int64_t pts_us, FrameSlot& slot) KELVO_EXCLUDES(_mutex);
    /// seek(0) at the end of a pass with loop on, unless the last loop rewind
    /// brought no frame (a file without frames would rewind for ever): then
    /// absent and nothing happens. A rewind that fails is not tried again
    /// before a frame has been read.
    std::optional<std::int64_t> loop_rewind(FrameSlot& slot) KELVO_EXCLUDES(_mutex);

  private:
    std::int64_t _seek_locked(std::int64_t pts_us, FrameSlot& slot) KELVO_REQUIRES(_mutex);

    mutable Mutex _mutex;
    ReplayInput _container KELVO_GUARDED_BY(_mutex);
    std::string _path KELVO_GUARDED_BY(_mutex);
    int _stream_index KELVO_GUARDED_BY(_mutex) = -1;
    AVRational _time_base KELVO_GUARDED_BY(_mutex){0, 1};
    // The pass being read.
    std::int64_t _pass_generation KELVO_GUARDED_BY(_mutex) = -1;
    bool _seen_empty KELVO_GUARDED_BY(_mutex) = false;
    // Loop rewinds: a pass started by anything but our own rewind, or a frame
    // read, allows the next one.
    bool _frame_since_rewind KELVO_GUARDED_BY(_mutex) = true;
    std::int64_t _rewind_generation KELVO_GUARDED_BY(_mutex) = -2;

    // Written under the lock, read without it.
    std::atomic<std::int64_t> _generation{0};
    std::atomic<bool> _open{false};
};

}  // namespace kelvo::detail
