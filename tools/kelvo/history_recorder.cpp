#include "history_recorder.hpp"

#include <chrono>
#include <thread>

namespace kelvo::cli {

ReplayHistory ReplayHistory::of(const MkvReplay& replay, double fps) {
    ReplayHistory h;
    h.camera_info = replay.embedded_camera_info();
    h.calibration = replay.calibration_history();
    h.camera_state = replay.camera_state_history();
    if (const auto base = replay.base_calibration()) h.base_calibration = base->to_dict();
    h.fps = fps > 0 ? fps : 30.0;
    h.t0_utc_ns = replay.t0_utc_ns();
    return h;
}

RecorderFactory history_recorder_factory(ReplayHistory history) {
    return [history = std::move(history)](MkvRecorderOptions options) {
        options.camera_info_payload = history.camera_info ? *history.camera_info : Json(nullptr);
        // The snapshots come from the history, frame by frame, not from polling.
        options.camera_controls = Json::object();
        options.camera_controls_provider = nullptr;
        options.fps = history.fps;
        if (history.t0_utc_ns != 0) {
            options.t0_utc_ns_provider = [t0 = history.t0_utc_ns] {
                return std::optional<std::int64_t>(t0);
            };
        }
        return std::make_shared<HistoryRecorder>(std::move(options), history);
    };
}

HistoryRecorder::HistoryRecorder(MkvRecorderOptions options, ReplayHistory history)
    : MkvRecorder(options), _history(std::move(history)), _queue_size(options.queue_size) {}

template <typename Write>
void HistoryRecorder::write_due(const std::vector<std::pair<std::int64_t, Json>>& history,
                                std::size_t& next, std::int64_t pts_us, const Json* base,
                                Write write) {
    if (_first) {
        // The entry in force at the first frame (with any written at the same
        // time before it, which the replay reads the same way); earlier ones
        // were replaced before the copy begins.
        std::size_t in_force = 0;
        bool found = false;
        for (std::size_t i = 0; i < history.size() && history[i].first <= pts_us; ++i) {
            in_force = i;
            found = true;
        }
        if (!found) {
            next = 0;
            if (base && base->is_object()) write(*base);
            return;
        }
        next = in_force;
        while (next > 0 && history[next - 1].first == history[in_force].first) --next;
    }
    for (; next < history.size() && history[next].first <= pts_us; ++next) {
        if (history[next].second.is_object()) write(history[next].second);
    }
}

void HistoryRecorder::wait_for_room() {
    // The writer takes frames in order; frames fed but not yet written or
    // dropped are the ones waiting in its queue.
    for (;;) {
        const RecordingStatus s = status();
        if (!s.is_running ||
            _fed - s.frames_written - s.frames_dropped < static_cast<std::int64_t>(_queue_size)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void HistoryRecorder::write_history(std::int64_t pts_us, bool went_back) {
    // Back before every camera-state entry, no control value was known: an empty snapshot.
    const Json no_state = Json::object();
    write_due(_history.calibration, _next_calibration, pts_us,
              went_back ? &_history.base_calibration : nullptr,
              [&](const Json& entry) { write_calibration_update(entry, pts_us); });
    write_due(_history.camera_state, _next_camera_state, pts_us, went_back ? &no_state : nullptr,
              [&](const Json& entry) { write_camera_state(entry, pts_us); });
    _first = false;
}

void HistoryRecorder::feed(const FramePtr& frame) {
    if (!frame || !is_running() || is_paused()) return;
    const std::int64_t pts = frame->pts_us;
    // Source time going back (a step or seek back, a loop's restart): the
    // recorder carries on one frame interval later, and entries timed before
    // that frame would reach back over frames already written. So what was
    // in force at the new position is written after the frame, at its time.
    const bool went_back = _last_pts && pts <= *_last_pts;
    if (went_back) {
        _first = true;
    } else {
        write_history(pts, false);
    }
    wait_for_room();
    MkvRecorder::feed(frame);
    ++_fed;
    if (went_back) write_history(pts, true);
    _last_pts = pts;
}

}  // namespace kelvo::cli
