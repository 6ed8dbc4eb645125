#include "sources/mkv_replay/replay_demuxer.hpp"

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo::detail {

void ReplayDemuxer::attach(ReplayInput container, std::string path, int stream_index,
                           AVRational time_base) {
    MutexLock lock(_mutex);
    _container = std::move(container);
    _path = std::move(path);
    _stream_index = stream_index;
    _time_base = time_base;
    _open.store(true);
}

void ReplayDemuxer::close() {
    MutexLock lock(_mutex);
    _open.store(false);
    _container.reset();
}

ReplayDemuxer::Read ReplayDemuxer::read_next(AVPacket* packet, std::int64_t* generation) {
    MutexLock lock(_mutex);
    if (!_container) return Read::closed;
    const std::int64_t current = _generation.load();
    if (current != _pass_generation) {
        _pass_generation = current;
        _seen_empty = false;
        if (current != _rewind_generation) _frame_since_rewind = true;
    }
    *generation = current;
    while (true) {
        const int ret = av_read_frame(_container.get(), packet);
        if (ret == AVERROR_EOF) return Read::end_of_pass;
        if (ret == AVERROR(EAGAIN)) continue;
        // The message is built only on failure: this runs once per packet.
        if (ret < 0) throw FfmpegError("reading " + repr(_path), ret);
        if (packet->stream_index != _stream_index) {
            av_packet_unref(packet);
            continue;
        }
        if (packet->size > 0 && packet->pts != AV_NOPTS_VALUE) {
            _frame_since_rewind = true;
            return Read::frame;
        }
        av_packet_unref(packet);
        if (_seen_empty) return Read::end_of_pass;
        _seen_empty = true;
    }
}

std::int64_t ReplayDemuxer::_seek_locked(std::int64_t pts_us, FrameSlot& slot) {
    if (!_container) throw RuntimeError("MkvReplay not open");
    const std::int64_t target = us_to_stream_ts(pts_us, _time_base);
    check_av(av_seek_frame(_container.get(), _stream_index, target, AVSEEK_FLAG_BACKWARD),
             "seeking to " + std::to_string(pts_us) + " us");
    const std::int64_t generation = _generation.fetch_add(1) + 1;
    slot.clear();
    return generation;
}

std::int64_t ReplayDemuxer::seek(std::int64_t pts_us, FrameSlot& slot) {
    MutexLock lock(_mutex);
    return _seek_locked(pts_us, slot);
}

std::optional<std::int64_t> ReplayDemuxer::loop_rewind(FrameSlot& slot) {
    MutexLock lock(_mutex);
    if (!_frame_since_rewind) return std::nullopt;
    _frame_since_rewind = false;
    const std::int64_t generation = _seek_locked(0, slot);
    _rewind_generation = generation;
    return generation;
}

}  // namespace kelvo::detail
