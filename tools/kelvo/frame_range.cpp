#include "frame_range.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "cli.hpp"
#include "interrupt.hpp"

namespace kelvo::cli {

RangedReplay::RangedReplay(std::shared_ptr<MkvReplay> replay, RangeArgs range)
    : ForwardingSource(replay), _replay(std::move(replay)), _range(std::move(range)) {}

CameraInfo RangedReplay::open() {
    const CameraInfo info = _replay->open();
    const auto index = _replay->frame_index();
    const auto frames = static_cast<std::int64_t>(index.size());
    // A frame index selects that frame's time; a time is used as it is.
    const auto resolve = [&](const std::string& text, const char* option,
                             bool is_end) -> std::optional<std::int64_t> {
        if (text.empty()) return std::nullopt;
        const Position p = parse_position(text, option);
        if (p.is_time) return p.value;
        if (index.empty()) {
            throw UsageError(fmt::format(
                "{} {} is a frame index, which needs the recording's frame index; give a time "
                "(2.5s, 1500ms) instead",
                option, text));
        }
        if (p.value >= frames) {
            if (is_end) return std::nullopt;  // an end past the last frame is the end
            throw ExitError(EXIT_FAILED,
                            fmt::format("kelvo: --start {} is past the last frame (the recording "
                                        "holds {} frames, 0..{})",
                                        text, frames, frames - 1));
        }
        return index[static_cast<std::size_t>(p.value)];
    };
    _start_pts = resolve(_range.start, "--start", false).value_or(0);
    _end_pts = resolve(_range.end, "--end", true);
    if (_end_pts && *_end_pts <= _start_pts) {
        throw UsageError(fmt::format("--end {} must come after --start {}", _range.end,
                                     _range.start.empty() ? "0" : _range.start));
    }
    if (!index.empty() && _start_pts > index.back()) {
        throw ExitError(EXIT_FAILED,
                        fmt::format("kelvo: --start {} is past the end of the recording (its last "
                                    "frame is at {} us)",
                                    _range.start, index.back()));
    }
    if (!index.empty()) {
        const auto first = std::lower_bound(index.begin(), index.end(), _start_pts);
        const auto last = _end_pts ? std::lower_bound(first, index.end(), *_end_pts) : index.end();
        const auto in_range = static_cast<std::int64_t>(last - first);
        _expected = (in_range + _range.every - 1) / _range.every;
        if (_range.max_frames > 0) _expected = std::min<std::int64_t>(_expected, _range.max_frames);
    }
    if (_start_pts > 0) _replay->seek_relative_us(_start_pts);
    return info;
}

FramePtr RangedReplay::grab(double timeout) {
    while (!_done.load()) {
        if (interrupted()) {
            _done.store(true);
            break;
        }
        FramePtr frame = _replay->grab(timeout);
        if (!frame) return nullptr;
        // A seek lands on the frame at or before its time.
        if (frame->pts_us < _start_pts) continue;
        if (_end_pts && frame->pts_us >= *_end_pts) {
            _done.store(true);
            break;
        }
        if (_position++ % _range.every != 0) continue;
        const auto delivered = _delivered.fetch_add(1) + 1;
        if (_range.max_frames > 0 && delivered >= _range.max_frames) _done.store(true);
        if (_on_frame) _on_frame(frame);
        return frame;
    }
    return nullptr;
}

void RangedReplay::close() {
    _replay->close();
}

bool RangedReplay::at_end() const {
    return _done.load() || _replay->at_end();
}

}  // namespace kelvo::cli
