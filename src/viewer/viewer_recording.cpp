// Recording from the viewer, through the pipeline's recording calls only. A
// recording's start and stop run as the one command in flight, outside the
// session's locks: the host's hooks may call back into the session, and
// finishing a file waits for its writer.
#include "kelvo/errors.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "viewer/viewer_session_state.hpp"

namespace kelvo {
namespace detail {
namespace {

/// Said when a recorder stopped by itself without telling why.
constexpr const char* STOPPED_BY_ITSELF = "the recorder stopped by itself";

/// A held recording that no longer runs stopped by itself (a write error):
/// the controller lets go of a recording only when it is stopped. (A
/// recorder a host stands in may not say so in its state.)
bool failed(const RecordingStatus& status) {
    return status.state == "failed" || !status.is_running;
}

/// What the recorder wrote before it failed, as a finished recording, so
/// the host keeps (or discards) the file as it does any other.
RecordingResult written_so_far(const RecordingStatus& status) {
    return RecordingResult{.path = status.path,
                           .frames_written = status.frames_written,
                           .frames_dropped = status.frames_dropped,
                           .bytes = status.bytes_written,
                           .duration_us = status.duration_us};
}

}  // namespace

std::shared_ptr<RecordingController> ViewerSessionState::make_recording_controller() {
    RecordingManagerOptions r;
    r.source = source;
    r.info_provider = [weak = weak_from_this()]() -> std::optional<CameraInfo> {
        auto self = weak.lock();
        return self ? self->camera_info() : std::nullopt;
    };
    r.camera_controls_provider = [src = source.get()] { return source_control_values(*src); };
    r.recorder_factory = options.recorder_factory;
    return std::make_shared<RecordingManager>(std::move(r));
}

Json ViewerSessionState::recording_json(const std::optional<RecordingStatus>& status) {
    if (!status) return nullptr;
    Json j = status->to_json();
    if (failed(*status)) {
        j["state"] = "failed";
        if (j["reason"].is_null()) j["reason"] = STOPPED_BY_ITSELF;
    }
    return j;
}

Json ViewerSessionState::finish_recording(Pipeline& pipeline) {
    auto status = pipeline.recording_status();
    if (!status) return nullptr;
    if (!failed(*status)) {
        try {
            const RecordingResult result = pipeline.stop_recording();
            return options.hooks.recording_finished ? options.hooks.recording_finished(result)
                                                    : result.to_json();
        } catch (const RuntimeError&) {
            // It may have failed since its status was read: then it is cleared below.
            status = pipeline.recording_status();
            if (!status || !failed(*status)) throw;
        }
    }
    // The controller holds on to a recorder that stopped by itself; a fresh
    // controller lets it go (with its pump callback), so the next start and a
    // back-end switch meet no recording at all.
    pipeline.set_recording_controller(make_recording_controller());
    const Json failure = recording_json(status);
    const RecordingResult kept = written_so_far(*status);
    Json out =
        options.hooks.recording_finished ? options.hooks.recording_finished(kept) : kept.to_json();
    out["state"] = "failed";
    out["reason"] = failure["reason"];
    return out;
}

Json ViewerSessionState::source_control_values(FrameSource& src) {
    Json values = Json::object();
    for (const auto& control : src.list_camera_controls()) {
        if (control.current_value) values[control.name] = *control.current_value;
    }
    return values;
}

}  // namespace detail

Json ViewerSession::record(const std::string& action) {
    auto& st = *_state;
    const bool start = action == "start";
    if (!start && action != "pause" && action != "resume" && action != "stop") {
        throw std::invalid_argument("unknown recording action " + repr(action) +
                                    " (start, pause, resume or stop)");
    }
    if (start && !st.options.hooks.recording_path) {
        throw RuntimeError("recording is not available here");
    }
    // A second start while one is on its way is refused as "recording already in progress".
    detail::TaskClaim claim(
        st, start ? detail::ViewerTask::record_start : detail::ViewerTask::record_control);
    Pipeline& p = claim.pipeline();
    const auto keep = [&st](const Json& finished) {
        MutexLock lock(st.control_mutex);
        st.last_recording = finished;
    };
    if (start) {
        if (const auto held = p.recording_status()) {
            if (held->is_running) throw RuntimeError("recording already in progress");
            // One that failed is reported and let go first.
            keep(st.finish_recording(p));
        }
        p.start_recording(st.options.hooks.recording_path(),
                          detail::ViewerSessionState::source_control_values(*st.source));
    } else if (action == "pause") {
        p.pause_recording();
    } else if (action == "resume") {
        p.resume_recording();
    } else {
        const Json finished = st.finish_recording(p);
        if (finished.is_null()) throw RuntimeError("not recording");
        keep(finished);
        return {{"recording", nullptr}, {"last_recording", finished}};
    }
    Json out = {{"recording", detail::ViewerSessionState::recording_json(p.recording_status())}};
    MutexLock lock(st.control_mutex);
    out["last_recording"] = st.last_recording;
    return out;
}

}  // namespace kelvo
