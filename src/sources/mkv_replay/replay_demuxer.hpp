// The replay's container and every read and seek on it. Both replay modes
// read frames through the one step here, so end of file, empty packets and
// loop rewinds follow the same rules in both.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvo/sources/frame_slot.hpp"
#include "kelvo/sync.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"

namespace spdlog {
class logger;
}

namespace kelvo::detail {

/// The frame index: every frame packet in file order, with its time and byte
/// position. Times need not be sorted or unique (files written out of order,
/// cut or merged by other tools): a frame is found by its position in the
/// file, and a time seek is used only where the time names one place.
class FrameIndex {
  public:
    FrameIndex() = default;
    FrameIndex(std::vector<std::int64_t> pts, std::vector<std::int64_t> pos);

    std::int64_t size() const { return static_cast<std::int64_t>(_pts.size()); }
    bool empty() const { return _pts.empty(); }
    std::int64_t pts(std::int64_t idx) const { return _pts[static_cast<std::size_t>(idx)]; }
    std::int64_t pos(std::int64_t idx) const { return _pos[static_cast<std::size_t>(idx)]; }
    /// The last frame at or before `idx` that a time seek lands on exactly:
    /// its time is later than every frame before it and earlier than every
    /// frame after it. -1 when there is none.
    std::int64_t time_seekable_at_or_before(std::int64_t idx) const {
        return _time_seekable_before[static_cast<std::size_t>(idx)];
    }
    /// The frame a seek to `pts_us` shows: the last frame at or before that
    /// time (with unsorted times, the last time-seekable one); 0 when none.
    std::int64_t frame_at_time(std::int64_t pts_us) const;

  private:
    std::vector<std::int64_t> _pts;
    std::vector<std::int64_t> _pos;
    std::vector<std::int64_t> _time_seekable_before;
    std::vector<std::int64_t> _time_seekable;  ///< their indices, in file (and time) order
    bool _sorted = true;
};

/// A demux pass runs from a position until the next reposition; each
/// reposition starts a new generation, which tells a reader holding a packet
/// of the old pass to drop it. Thread-safe: reads, seeks and close() are
/// serialised by one lock, which is never held while a frame is converted,
/// paced or dispatched.
class ReplayDemuxer {
  public:
    enum class Read { frame, end_of_pass, closed };

    /// Takes the opened container of `path` (reopened through `opener` when
    /// a pass must start from the beginning of the file); `stream_index` is
    /// its video stream. With a frame index, frames are counted by position.
    void attach(ReplayInput container, std::string path,
                std::shared_ptr<const MkvInputOpener> opener, int stream_index,
                AVRational time_base, FrameIndex index, std::shared_ptr<spdlog::logger> logger)
        KELVO_EXCLUDES(_mutex);
    bool is_open() const { return _open.load(); }
    /// Releases the container; no read or seek reaches it afterwards.
    void close() KELVO_EXCLUDES(_mutex);
    std::int64_t generation() const { return _generation.load(); }

    /// Reads the next frame packet of the current pass into `packet`, the
    /// pass's generation into `generation` and the frame's position in the
    /// frame index into `index` (-1 without an index). The first packet of a
    /// pass that is empty or has no timestamp is skipped; a later one ends the
    /// pass, like the end of the file. `closed` once close() has run;
    /// FfmpegError on a demuxer error.
    Read read_next(AVPacket* packet, std::int64_t* generation, std::int64_t* index)
        KELVO_EXCLUDES(_mutex);

    /// Moves to frame `idx` of the index (exactly, whatever the times), or,
    /// without an index, to the frame at or before `pts_us`; starts a new
    /// generation and empties `slot` while still holding the lock, so a frame
    /// of the old pass can never land in the slot after this returns. Returns
    /// the new generation; throws on failure.
    std::int64_t seek_to_frame(std::int64_t idx, FrameSlot& slot) KELVO_EXCLUDES(_mutex);
    std::int64_t seek_to_time(std::int64_t pts_us, FrameSlot& slot) KELVO_EXCLUDES(_mutex);
    /// Back to the first frame at the end of a pass with loop on, unless the
    /// last loop rewind brought no frame (a file without frames would rewind
    /// for ever): then absent and nothing happens. A rewind that fails is not
    /// tried again before a frame has been read.
    std::optional<std::int64_t> loop_rewind(FrameSlot& slot) KELVO_EXCLUDES(_mutex);

  private:
    std::int64_t _begin_pass(FrameSlot& slot) KELVO_REQUIRES(_mutex);
    /// Counts the frame just read into `index`.
    Read _frame_read(std::int64_t* index) KELVO_REQUIRES(_mutex);
    void _position_at(std::int64_t idx) KELVO_REQUIRES(_mutex);
    /// The next frame packet of the file, with empty and untimed ones counted
    /// in `empties`; false at the end.
    bool _read_frame_packet(AVPacket* packet, int* empties) KELVO_REQUIRES(_mutex);

    mutable Mutex _mutex;
    ReplayInput _container KELVO_GUARDED_BY(_mutex);
    std::string _path KELVO_GUARDED_BY(_mutex);
    std::shared_ptr<const MkvInputOpener> _opener KELVO_GUARDED_BY(_mutex);
    std::shared_ptr<spdlog::logger> _logger KELVO_GUARDED_BY(_mutex);
    int _stream_index KELVO_GUARDED_BY(_mutex) = -1;
    AVRational _time_base KELVO_GUARDED_BY(_mutex){0, 1};
    FrameIndex _index KELVO_GUARDED_BY(_mutex);
    // The pass being read.
    std::int64_t _pass_generation KELVO_GUARDED_BY(_mutex) = -1;
    bool _seen_empty KELVO_GUARDED_BY(_mutex) = false;
    std::int64_t _next_idx KELVO_GUARDED_BY(_mutex) = 0;  ///< index of the next frame packet
    PacketPtr _pending KELVO_GUARDED_BY(_mutex);          ///< a frame read while positioning
    // Loop rewinds: a pass started by anything but our own rewind, or a frame
    // read, allows the next one.
    bool _frame_since_rewind KELVO_GUARDED_BY(_mutex) = true;
    std::int64_t _rewind_generation KELVO_GUARDED_BY(_mutex) = -2;

    // Written under the lock, read without it.
    std::atomic<std::int64_t> _generation{0};
    std::atomic<bool> _open{false};
};

}  // namespace kelvo::detail
