// The viewer's session: its lifecycle, the figures the page polls and the
// page's commands (controls, back-end, saving). Recording is in
// viewer_recording.cpp, playback in viewer_playback.cpp, the image streams in
// viewer_images.cpp and measuring in viewer_measure.cpp; the state they share
// is viewer_session_state.hpp.
#include <algorithm>
#include <optional>

#include <fmt/format.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "viewer/json_fields.hpp"
#include "viewer/viewer_session_state.hpp"

namespace kelvo {
namespace detail {
namespace {

constexpr double FIGURES_PERIOD_S = 1.0;
/// How long stop() waits for a command in flight; more than a recording's
/// stop takes to drain its writer.
constexpr double STOP_WAIT_S = 10.0;

}  // namespace

const char* busy_message(ViewerTask busy) {
    switch (busy) {
        case ViewerTask::session:
            return "the viewer is starting or stopping";
        case ViewerTask::backend:
            return "the back-end is being changed; try again";
        case ViewerTask::record_start:
            return "recording already in progress";
        case ViewerTask::record_control:
        case ViewerTask::none:
            break;
    }
    return "a recording is being paused, resumed or stopped; try again";
}

TaskClaim::TaskClaim(ViewerSessionState& st, ViewerTask task, double wait_s) : _st(st) {
    MutexLock lock(st.control_mutex);
    const auto deadline = CondVar::deadline_in(wait_s);
    while (wait_s > 0 && st.task != ViewerTask::none) {
        if (!st.task_done.wait_until(lock, deadline)) break;
    }
    if (st.task != ViewerTask::none) throw RuntimeError(busy_message(st.task));
    if (!st.pipeline) throw RuntimeError("the viewer is not running");
    st.task = task;
    _pipeline = st.pipeline;
    _running = st.running;
}

TaskClaim::~TaskClaim() {
    MutexLock lock(_st.control_mutex);
    _st.task = ViewerTask::none;
    _st.task_done.notify_all();
}

std::optional<CameraInfo> ViewerSessionState::camera_info() const {
    MutexLock lock(info_mutex);
    return info;
}

std::shared_ptr<Pipeline> ViewerSessionState::current_pipeline() const {
    MutexLock lock(control_mutex);
    if (!pipeline) throw RuntimeError("the viewer is not running");
    return pipeline;
}

std::shared_ptr<Pipeline> ViewerSessionState::build_pipeline(
    const std::string& key, const std::string& variant,
    std::vector<std::pair<std::string, int>> controls, int rectified_width,
    std::shared_ptr<RecordingController> recording) {
    PipelineOptions p;
    p.source = source;
    p.backend = key;
    p.variant = variant;
    p.controls = std::move(controls);
    p.engine = options.engine;
    p.queue_size = 0;           // the callback is the only consumer
    p.rectified_images = true;  // the left and right panels show the colour eyes
    p.rectified_width = rectified_width;
    p.manage_source = false;
    p.camera_info = camera_info();
    p.on_packet = [weak = weak_from_this()](const FramePacketPtr& packet) {
        if (auto self = weak.lock()) self->on_packet(packet);
    };
    auto out = std::make_shared<Pipeline>(std::move(p));
    if (recording) out->set_recording_controller(std::move(recording));
    return out;
}

void ViewerSessionState::tick(const Event& stop) {
    while (!stop.wait_for(FIGURES_PERIOD_S)) {
        std::shared_ptr<Pipeline> p;
        {
            MutexLock lock(control_mutex);
            p = pipeline;
        }
        if (!p) continue;
        const auto [grabbed, dropped] = p->get_pump_stats();
        source_fps.store(static_cast<double>(grabbed) / FIGURES_PERIOD_S);
        source_dropped.fetch_add(dropped);
    }
}

}  // namespace detail

using detail::JsonFields;
using detail::TaskClaim;
using detail::ViewerTask;

ViewerSession::ViewerSession(ViewerSessionOptions options)
    : _state(std::make_shared<detail::ViewerSessionState>()) {
    auto& st = *_state;
    if (!options.source) throw std::invalid_argument("the viewer needs a frame source");
    st.source = options.source;
    st.replay = dynamic_cast<MkvReplay*>(st.source.get());
    st.live = dynamic_cast<LiveCapture*>(st.source.get());
    st.options = std::move(options);
    // Built now so that a bad back-end, variant or control fails before anything opens.
    auto first =
        st.build_pipeline(st.options.backend, st.options.variant, st.options.controls, 0, nullptr);
    MutexLock lock(st.control_mutex);
    st.pipeline = std::move(first);
}

ViewerSession::~ViewerSession() {
    try {
        stop();
    } catch (const std::exception&) {
        log_exception(*_state->logger, "stopping the viewer failed (non-fatal)");
    }
}

void ViewerSession::start() {
    auto& st = *_state;
    TaskClaim claim(st, ViewerTask::session);
    if (claim.was_running()) throw RuntimeError("the viewer is already running");
    const CameraInfo opened = st.source->open();
    {
        MutexLock lock(st.info_mutex);
        st.info = opened;
    }
    // The pipeline built by the constructor runs with what the source
    // reported (YUYV decoding needs its size); its back-end is not built again.
    Pipeline& p = claim.pipeline();
    p.set_camera_info(opened);
    p.set_recording_controller(st.make_recording_controller());
    p.start();
    {
        MutexLock lock(st.control_mutex);
        st.running = true;
    }
    st.ticker.start("kelvo-viewer", [s = _state](const Event& stop) { s->tick(stop); });
}

Json ViewerSession::stop() {
    auto& st = *_state;
    st.ticker.stop();
    {
        MutexLock lock(st.shown_mutex);
        st.stopping = true;
        st.shown_cv.notify_all();
    }
    // A command in flight (a recording that is starting or finishing) ends first.
    TaskClaim claim(st, ViewerTask::session, detail::STOP_WAIT_S);
    if (!claim.was_running()) return nullptr;
    {
        MutexLock lock(st.control_mutex);
        st.running = false;
    }
    Json finished = nullptr;
    try {
        finished = st.finish_recording(claim.pipeline());
    } catch (const std::exception&) {
        log_exception(*st.logger, "finishing the recording failed");
    }
    claim.pipeline().stop();
    st.source->close();
    return finished;
}

bool ViewerSession::is_running() const {
    MutexLock lock(_state->control_mutex);
    return _state->running;
}

Json ViewerSession::describe() const {
    const auto& st = *_state;
    Json source;
    source["kind"] = st.replay ? "recording" : st.live ? "camera" : "source";
    if (const auto info = st.camera_info()) {
        source["camera"] = info->camera_name;
        source["serial"] = info->camera_serial;
        source["width"] = info->width;
        source["height"] = info->height;
        source["fps"] = info->fps;
    }
    source["seekable"] = st.replay != nullptr;
    if (st.replay) {
        const auto index = st.replay->frame_index();
        source["frame_count"] = index.size();
        source["duration_us"] = st.replay->duration_us();
        Json marks = Json::array();
        for (const auto& [pts, payload] : st.replay->calibration_history()) {
            // The first frame shown at or after the update.
            const auto at = std::lower_bound(index.begin(), index.end(), pts);
            marks.push_back({{"pts_us", pts}, {"frame", at - index.begin()}});
        }
        source["calibration_marks"] = marks;
    }
    Json backends = Json::array();
    for (const auto& cls : registered_inferences()) {
        Json variants = Json::array();
        for (const auto& v : cls->variants()) {
            variants.push_back({{"slug", v.slug}, {"label", v.label}});
        }
        backends.push_back({{"key", cls->key},
                            {"label", cls->label},
                            {"neural", cls->neural},
                            {"variants", variants}});
    }
    return {{"source", source}, {"backends", backends}};
}

Json ViewerSession::state() const {
    const auto& st = *_state;
    std::shared_ptr<Pipeline> pipeline;
    Json j;
    Json last_recording;
    bool running = false;
    {
        MutexLock lock(st.control_mutex);
        pipeline = st.pipeline;
        last_recording = st.last_recording;
        running = st.running;
    }
    if (pipeline) {
        const auto stats = pipeline->stats();
        j["backend"] = pipeline->backend_key();
        j["variant"] = pipeline->variant().slug;
        j["mono"] = pipeline->backend_kind() == InferenceKind::mono;
        j["pipeline_fps"] = stats.fps;
        j["frames_grabbed"] = stats.frames_grabbed;
        j["frames_emitted"] = stats.frames_emitted;
        j["dropped"] = {{"source", st.source_dropped.load()},
                        {"pipeline", stats.packets_dropped},
                        {"undecodable", stats.frames_undecodable},
                        {"failed", stats.frames_failed}};
    }
    j["recording"] = detail::ViewerSessionState::recording_json(
        pipeline ? pipeline->recording_status() : std::nullopt);
    j["last_recording"] = last_recording;
    j["running"] = running;
    j["source_fps"] = st.source_fps.load();
    if (st.replay) {
        j["playing"] = !st.replay->is_paused();
        j["at_end"] = st.replay->at_end();
        j["rate"] = st.replay->playback_rate();
        j["loop"] = st.replay->loop();
    }
    MutexLock lock(st.shown_mutex);
    j["generation"] = st.generation;
    j["ranges"] = {{"disparity", st.ranges[0]}, {"depth", st.ranges[1]}};
    j["confidence_threshold"] = st.confidence_threshold;
    if (st.shown) {
        const auto& p = *st.shown;
        j["frame"] = detail::optional_json(p.source_frame_idx);
        j["pts_us"] = p.pts_us;
        j["sequence"] = p.sequence;
        // The pixels probe and measure take: the page may show the images smaller.
        const cv::Size size = detail::frame_size(p);
        j["image_size"] = {size.width, size.height};
        const auto& t = p.timings;
        j["timings_ms"] = {{"decode", t.decode_ms},     {"rectify", t.rectify_ms},
                           {"canvas", t.canvas_ms},     {"inference", t.inference_ms},
                           {"map_back", t.map_back_ms}, {"total", t.total_ms}};
    } else {
        j["frame"] = nullptr;
    }
    return j;
}

Json ViewerSession::controls() const {
    const auto& st = *_state;
    const auto pipeline = st.current_pipeline();
    Json backend = Json::array();
    for (const auto& c : pipeline->inference_controls()) {
        Json item = c.to_json();
        item["value"] = pipeline->inference_control(c.name);
        backend.push_back(item);
    }
    Json camera = Json::array();
    if (st.live) {
        for (const auto& c : st.source->list_camera_controls()) {
            Json item = c.to_json();
            item["value"] = detail::optional_json(c.current_value);
            camera.push_back(item);
        }
    }
    return {{"backend", backend}, {"camera", camera}};
}

void ViewerSession::set_control(const std::string& name, const Json& value) {
    auto& st = *_state;
    const auto p = st.current_pipeline();
    bool known = false;
    for (const auto& c : p->inference_controls()) known = known || c.name == name;
    if (!known) {
        throw std::invalid_argument(
            fmt::format("unknown control {} of back-end {}", repr(name), repr(p->backend_key())));
    }
    p->set_inference_control(name, detail::as_int(value, name));
    st.refresh();
}

void ViewerSession::set_camera_control(const std::string& name, const Json& value) {
    auto& st = *_state;
    if (!st.live) throw std::invalid_argument("camera controls need a live camera");
    std::optional<CameraControl> found;
    for (const auto& c : st.source->list_camera_controls()) {
        if (c.name == name) found = c;
    }
    if (!found) throw std::invalid_argument("unknown camera control " + repr(name));
    const int v = check_camera_control_value(*found, value);
    auto handle = st.live->camera_controls();
    if (!handle) throw RuntimeError("the camera's controls are not open");
    handle->set(name, v);
}

void ViewerSession::select_backend(const std::string& key, const std::string& variant) {
    auto& st = *_state;
    {
        // No recording can start meanwhile: that is a command too.
        TaskClaim claim(st, ViewerTask::backend);
        Pipeline& old = claim.pipeline();
        if (const auto status = old.recording_status(); status && status->is_running) {
            throw RuntimeError("stop the recording before changing the back-end");
        }
        // Built first: a bad key or variant leaves the running pipeline alone.
        // A new back-end keeps the eyes' width the clients asked for.
        auto next =
            st.build_pipeline(key, variant, {}, old.rectified_width(), old.recording_controller());
        old.stop();
        {
            MutexLock lock(st.control_mutex);
            st.pipeline = next;
            st.apply_eye_width();  // clients that came or went while it was built
        }
        if (claim.was_running()) next->start();
    }
    st.refresh();
}

void ViewerSession::set_confidence_threshold(const Json& value) {
    auto& st = *_state;
    const int threshold = detail::as_int(value, "threshold");
    if (threshold < 0 || threshold > detail::MAX_CONFIDENCE) {
        throw std::invalid_argument(fmt::format("'threshold' must be within 0..{}; got {}",
                                                detail::MAX_CONFIDENCE, threshold));
    }
    MutexLock lock(st.shown_mutex);
    if (threshold == st.confidence_threshold) return;
    st.confidence_threshold = threshold;
    // The packet on display again, under a new generation: a paused replay
    // or a slow camera would otherwise show the old threshold until the
    // next packet.
    if (st.shown) {
        ++st.generation;
        st.images = {};
        st.shown_cv.notify_all();
    }
}

Json ViewerSession::save_frame() {
    auto& st = *_state;
    if (!st.options.hooks.save_frame) throw RuntimeError("saving frames is not available here");
    const auto packet = st.require_shown();
    const std::string key = st.current_pipeline()->backend_key();
    return st.options.hooks.save_frame(*packet, key);
}

}  // namespace kelvo
