#include "sources/mkv_replay/replay_demuxer.hpp"

#include <algorithm>
#include <limits>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo::detail {

FrameIndex::FrameIndex(std::vector<std::int64_t> pts, std::vector<std::int64_t> pos)
    : _pts(std::move(pts)), _pos(std::move(pos)) {
    const std::size_t n = _pts.size();
    if (_pos.size() != n) throw std::invalid_argument("frame index: times and positions differ");
    // Frame k is found exactly by a time seek when its time is later than all
    // before it and earlier than all after it: the container's time index
    // then points at it and nothing before it in the file is read as later.
    std::vector<std::int64_t> later_min(n + 1, std::numeric_limits<std::int64_t>::max());
    for (std::size_t i = n; i-- > 0;) later_min[i] = std::min(later_min[i + 1], _pts[i]);
    _time_seekable_before.resize(n);
    std::int64_t earlier_max = std::numeric_limits<std::int64_t>::min();
    std::int64_t last = -1;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && _pts[i] < _pts[i - 1]) _sorted = false;
        if (_pts[i] > earlier_max && _pts[i] < later_min[i + 1]) {
            last = static_cast<std::int64_t>(i);
            _time_seekable.push_back(last);
        }
        _time_seekable_before[i] = last;
        earlier_max = std::max(earlier_max, _pts[i]);
    }
}

std::int64_t FrameIndex::frame_at_time(std::int64_t pts_us) const {
    if (_pts.empty()) return 0;
    if (_sorted) {
        const auto it = std::upper_bound(_pts.begin(), _pts.end(), pts_us);
        return std::max<std::int64_t>(0, (it - _pts.begin()) - 1);
    }
    // Times out of order: only a time-seekable frame stands for a time.
    const auto it = std::upper_bound(_time_seekable.begin(), _time_seekable.end(), pts_us,
                                     [this](std::int64_t t, std::int64_t idx) {
                                         return t < _pts[static_cast<std::size_t>(idx)];
                                     });
    return it == _time_seekable.begin() ? 0 : *(it - 1);
}

void ReplayDemuxer::attach(ReplayInput container, std::string path,
                           std::shared_ptr<const MkvInputOpener> opener, int stream_index,
                           AVRational time_base, FrameIndex index,
                           std::shared_ptr<spdlog::logger> logger) {
    MutexLock lock(_mutex);
    _container = std::move(container);
    _path = std::move(path);
    _opener = std::move(opener);
    _stream_index = stream_index;
    _time_base = time_base;
    _index = std::move(index);
    _logger = std::move(logger);
    _pending = make_packet();
    _next_idx = 0;
    _open.store(true);
}

void ReplayDemuxer::close() {
    MutexLock lock(_mutex);
    _open.store(false);
    _container.reset();
}

bool ReplayDemuxer::_read_frame_packet(AVPacket* packet, int* empties) {
    while (true) {
        const int ret = av_read_frame(_container.get(), packet);
        if (ret == AVERROR_EOF) return false;
        if (ret == AVERROR(EAGAIN)) continue;
        // The message is built only on failure: this runs once per packet.
        if (ret < 0) throw FfmpegError("reading " + repr(_path), ret);
        if (packet->stream_index == _stream_index && packet->size > 0 &&
            packet->pts != AV_NOPTS_VALUE) {
            return true;
        }
        if (packet->stream_index == _stream_index) ++*empties;
        av_packet_unref(packet);
    }
}

ReplayDemuxer::Read ReplayDemuxer::read_next(AVPacket* packet, std::int64_t* generation,
                                             std::int64_t* index) {
    MutexLock lock(_mutex);
    if (!_container) return Read::closed;
    const std::int64_t current = _generation.load();
    if (current != _pass_generation) {
        _pass_generation = current;
        _seen_empty = false;
        if (current != _rewind_generation) _frame_since_rewind = true;
    }
    *generation = current;
    if (_pending && _pending->data) {
        av_packet_move_ref(packet, _pending.get());
        return _frame_read(index);
    }
    int empties = 0;
    const bool got = _read_frame_packet(packet, &empties);
    // A second empty or untimed packet ends the pass (a writer's end-of-stream
    // marker), unless the frame index knows frames after it: those are never
    // lost to the rule.
    const bool frames_remain = !_index.empty() && _next_idx < _index.size();
    const bool ends_pass = empties > 0 && (_seen_empty || empties > 1) && !frames_remain;
    if (empties > 0) _seen_empty = true;
    if (got && !ends_pass) return _frame_read(index);
    if (got) av_packet_unref(packet);
    if (!_index.empty() && _next_idx != _index.size()) {
        log_printf(*_logger, spdlog::level::warn,
                   "%s: the pass ended after frame %d, but the frame index holds %d frames", _path,
                   static_cast<long long>(_next_idx), static_cast<long long>(_index.size()));
    }
    return Read::end_of_pass;
}

ReplayDemuxer::Read ReplayDemuxer::_frame_read(std::int64_t* index) {
    _frame_since_rewind = true;
    *index = _index.empty() ? -1 : _next_idx++;
    return Read::frame;
}

void ReplayDemuxer::_position_at(std::int64_t idx) {
    av_packet_unref(_pending.get());
    bool placed = false;
    if (const std::int64_t k = _index.time_seekable_at_or_before(idx); k >= 0) {
        check_av(av_seek_frame(_container.get(), _stream_index,
                               us_to_stream_ts(_index.pts(k), _time_base), AVSEEK_FLAG_BACKWARD),
                 "seeking to frame " + std::to_string(k));
        // The first frame read must be frame k itself; a container whose own
        // index disagrees is read from its beginning instead.
        int empties = 0;
        if (_read_frame_packet(_pending.get(), &empties) && _pending->pos == _index.pos(k)) {
            _next_idx = k;
            placed = true;
        } else {
            av_packet_unref(_pending.get());
        }
    }
    if (!placed) {
        _container = _opener->open(_path);
        _next_idx = 0;
    }
    while (_next_idx < idx) {
        if (!_pending->data) {
            int empties = 0;
            if (!_read_frame_packet(_pending.get(), &empties)) {
                throw RuntimeError("frame " + std::to_string(idx) + " of " + repr(_path) +
                                   " was not found: the file ends after frame " +
                                   std::to_string(_next_idx));
            }
        }
        av_packet_unref(_pending.get());
        ++_next_idx;
    }
}

std::int64_t ReplayDemuxer::_begin_pass(FrameSlot& slot) {
    const std::int64_t generation = _generation.fetch_add(1) + 1;
    slot.clear();
    return generation;
}

std::int64_t ReplayDemuxer::seek_to_frame(std::int64_t idx, FrameSlot& slot) {
    MutexLock lock(_mutex);
    if (!_container) throw RuntimeError("MkvReplay not open");
    if (idx < 0 || idx >= _index.size()) {
        throw std::out_of_range("frame " + std::to_string(idx) + " is not in the frame index");
    }
    _position_at(idx);
    return _begin_pass(slot);
}

std::int64_t ReplayDemuxer::seek_to_time(std::int64_t pts_us, FrameSlot& slot) {
    MutexLock lock(_mutex);
    if (!_container) throw RuntimeError("MkvReplay not open");
    if (!_index.empty()) {
        // The time as the container can hold it (its tick), as a time seek takes it.
        const std::int64_t tick_us = video_pts_us(us_to_stream_ts(pts_us, _time_base), _time_base);
        _position_at(_index.frame_at_time(tick_us));
    } else {
        const std::int64_t target = us_to_stream_ts(pts_us, _time_base);
        check_av(av_seek_frame(_container.get(), _stream_index, target, AVSEEK_FLAG_BACKWARD),
                 "seeking to " + std::to_string(pts_us) + " us");
    }
    return _begin_pass(slot);
}

std::optional<std::int64_t> ReplayDemuxer::loop_rewind(FrameSlot& slot) {
    MutexLock lock(_mutex);
    if (!_container) throw RuntimeError("MkvReplay not open");
    if (!_frame_since_rewind) return std::nullopt;
    _frame_since_rewind = false;
    if (!_index.empty()) {
        _position_at(0);
    } else {
        // Without an index the file's beginning is found by opening it anew:
        // a time seek to 0 misses frames stored before a later time 0.
        _container = _opener->open(_path);
    }
    const std::int64_t generation = _begin_pass(slot);
    _rewind_generation = generation;
    return generation;
}

}  // namespace kelvo::detail
