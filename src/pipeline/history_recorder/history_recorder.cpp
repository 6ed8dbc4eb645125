#include "kelvo/pipeline/history_recorder.hpp"

#include "kelvo/sources/mkv_replay.hpp"

namespace kelvo {

ReplayHistory ReplayHistory::of(const MkvReplay& replay, double fps) {
    ReplayHistory h;
    h.camera_info = replay.embedded_camera_info();
    h.calibration = replay.calibration_history();
    h.camera_state = replay.camera_state_history();
    if (const auto base = replay.base_calibration()) h.base_calibration = base->to_dict();
    h.fps = fps > 0 ? fps : 30.0;
    h.t0_utc_ns = replay.t0_utc_ns();
    h.wait_when_full = !replay.has_pump();
    return h;
}

RecorderFactory history_recorder_factory(ReplayHistory history) {
    return [history = std::move(history)](MkvRecorderOptions options) {
        options.camera_info_payload = history.camera_info ? *history.camera_info : Json(nullptr);
        // The snapshots come from the history, frame by frame, not from polling.
        options.camera_controls = Json::object();
        options.camera_controls_provider = nullptr;
        options.fps = history.fps;
        options.wait_when_full = history.wait_when_full;
        if (history.t0_utc_ns != 0) {
            options.t0_utc_ns_provider = [t0 = history.t0_utc_ns] {
                return std::optional<std::int64_t>(t0);
            };
        }
        return std::make_shared<HistoryRecorder>(std::move(options), history);
    };
}

HistoryRecorder::HistoryRecorder(MkvRecorderOptions options, ReplayHistory history)
    : MkvRecorder(std::move(options)), _history(std::move(history)) {}

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
    MkvRecorder::feed(frame);
    if (went_back) write_history(pts, true);
    _last_pts = pts;
}

}  // namespace kelvo
