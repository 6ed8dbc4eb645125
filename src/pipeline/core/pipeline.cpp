// The frame pipeline's public class: construction (the back-end), the run's
// life cycle on three threads (pipeline_worker.cpp, pipeline_handout.cpp),
// its queue, controls, statistics and the recording calls.
#include "kelvo/pipeline/pipeline.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "pipeline/core/pipeline_state.hpp"

namespace kelvo {

namespace {

using detail::BackendKind;
using Clock = detail::PipelineClock;

constexpr double JOIN_LIMIT_S = 2.0;

constexpr const char* STREAM_NAMES[detail::STREAM_COUNT] = {"rectified_left", "rectified_right",
                                                            "disparity", "depth", "confidence"};

int stream_index(const std::string& name) {
    for (int i = 0; i < detail::STREAM_COUNT; ++i) {
        if (name == STREAM_NAMES[i]) return i;
    }
    throw std::invalid_argument(fmt::format(
        "unknown stream '{}'; streams: rectified_left, rectified_right, disparity, depth, "
        "confidence",
        name));
}

int checked_rectified_width(int width) {
    if (width < 0) {
        throw std::invalid_argument(
            fmt::format("rectified_width must be 0 (whole) or more; got {}", width));
    }
    return width;
}

}  // namespace

Pipeline::Pipeline(PipelineOptions options) : _state(std::make_shared<detail::PipelineState>()) {
    auto& s = *_state;
    if (!options.source) throw std::invalid_argument("Pipeline needs a source");
    s.logger = get_logger("kelvo_camera_sdk.pipeline");
    s.cls = inference_class(options.backend);
    s.variant = s.cls->variant(options.variant);
    s.backend = s.cls->create(s.variant, options.engine);
    if (!s.backend) {
        throw RuntimeError(fmt::format("back-end '{}' could not be created", options.backend));
    }
    if (s.backend->is_passthrough()) {
        s.kind = BackendKind::passthrough;
    } else if ((s.classic = dynamic_cast<ClassicStereoInferenceBase*>(s.backend.get()))) {
        s.kind = BackendKind::classic;
    } else if ((s.neural = dynamic_cast<NeuralInferenceBase*>(s.backend.get()))) {
        s.kind = BackendKind::neural;
        // The engine's requests in flight, and one more being finished.
        s.max_in_flight = static_cast<std::size_t>(std::max(1, s.neural->nireq())) + 1;
        s.mono = s.neural->is_mono();
    } else {
        throw RuntimeError(fmt::format("back-end '{}' is neither a classical nor a neural back-end",
                                       options.backend));
    }
    // Consumers go by the class's kind: an instance that works otherwise
    // would give them the wrong maps.
    if (s.cls->kind && s.mono != (*s.cls->kind == InferenceKind::mono)) {
        throw RuntimeError(fmt::format("back-end '{}' is registered as {} but its instance is {}",
                                       options.backend, kind_name(*s.cls->kind),
                                       s.mono ? "mono" : "stereo"));
    }
    if (s.kind != BackendKind::passthrough) {
        s.post = std::make_unique<PostChain>(
            PostChainTraits{.backend = s.cls->key,
                            .depth_map = s.mono,
                            .right_view = s.backend->gives_right_view()});
    }
    for (const auto& [name, value] : options.controls) s.set_control(name, value);
    for (auto& enabled : s.streams) enabled = true;
    s.rectified_width = checked_rectified_width(options.rectified_width);
    s.info = options.camera_info;
    s.options = std::move(options);
}

namespace detail {

void PipelineState::set_control(const std::string& name, int value) {
    if (post && PostChain::is_chain_control(name)) {
        post->set_control(name, value);
    } else {
        backend->set_inference_control(name, value);
    }
}

}  // namespace detail

Pipeline::~Pipeline() {
    try {
        stop();
    } catch (...) {
        log_exception(*_state->logger, "pipeline: stopping failed (non-fatal)");
    }
}

void Pipeline::start() {
    auto state = _state;
    {
        MutexLock lock(state->mutex);
        if (state->started) throw RuntimeError("Pipeline already started");
        state->started = true;
    }
    if (state->options.manage_source) {
        try {
            CameraInfo info = state->options.source->open();
            MutexLock lock(state->mutex);
            state->info = std::move(info);
        } catch (...) {
            MutexLock lock(state->mutex);
            state->stopped = true;
            state->finished = true;
            throw;
        }
    }
    {
        MutexLock lock(state->mutex);
        state->t_start = Clock::now();
    }
    // Each body holds the state, so a thread left behind by stop() never
    // outlives what it uses.
    state->worker.start("kelvo-pipeline", [state](const Event&) { state->run_worker(); });
    state->handout.start("kelvo-pipe-out", [state](const Event&) {
        try {
            state->run_handout();
        } catch (...) {
            log_exception(*state->logger, "pipeline hand-out failed");
        }
        // However it ended, the finisher emits what was matched, then ends the run.
        state->end_finishing();
    });
    state->finisher.start("kelvo-pipe-fin", [state](const Event&) {
        try {
            state->run_finisher();
        } catch (...) {
            log_exception(*state->logger, "pipeline finisher failed");
        }
        MutexLock lock(state->mutex);
        state->mark_finished();
        state->cv.notify_all();
    });
}

void Pipeline::stop() {
    auto& s = *_state;
    {
        MutexLock lock(s.mutex);
        if (!s.started || s.stopped) return;
        s.stopped = true;
        s.stop.set();
        s.cv.notify_all();
    }
    // The threads share one limit; each is joined, or left behind when it
    // is the calling thread (stop() from the packet callback) or still busy.
    const auto deadline = Clock::now() + std::chrono::duration<double>(JOIN_LIMIT_S);
    const auto left = [&] {
        return std::max(0.0, std::chrono::duration<double>(deadline - Clock::now()).count());
    };
    const bool worker_joined = s.worker.stop(JOIN_LIMIT_S);
    const bool handout_joined = s.handout.stop(left());
    const bool finisher_joined = s.finisher.stop(left());
    if (!worker_joined || !handout_joined || !finisher_joined) {
        log_printf(*s.logger, spdlog::level::warn,
                   "pipeline threads did not stop within %.1f s; left to finish on their own",
                   JOIN_LIMIT_S);
    }
    {
        MutexLock lock(s.mutex);
        s.mark_finished();
        s.cv.notify_all();
    }
    if (s.options.manage_source) {
        try {
            s.options.source->close();
        } catch (...) {
            log_exception(*s.logger, "pipeline: closing the source failed (non-fatal)");
        }
    }
}

bool Pipeline::is_running() const {
    MutexLock lock(_state->mutex);
    return _state->started && !_state->stopped && !_state->finished;
}

bool Pipeline::is_finished() const {
    MutexLock lock(_state->mutex);
    return _state->finished;
}

bool Pipeline::wait_finished(double timeout_s) const {
    auto& s = *_state;
    const bool forever = timeout_s < 0;
    const auto deadline = CondVar::deadline_in(timeout_s);
    MutexLock lock(s.mutex);
    while (!s.finished) {
        if (forever) {
            s.cv.wait(lock);
        } else if (!s.cv.wait_until(lock, deadline)) {
            break;
        }
    }
    return s.finished;
}

FramePacketPtr Pipeline::get_packet(double timeout_s) {
    auto& s = *_state;
    const auto deadline = CondVar::deadline_in(timeout_s);
    MutexLock lock(s.mutex);
    while (s.out.empty() && !s.finished && !s.stopped) {
        if (!s.cv.wait_until(lock, deadline)) break;
    }
    if (s.out.empty()) return nullptr;
    FramePacketPtr packet = std::move(s.out.front());
    s.out.pop_front();
    s.cv.notify_all();
    return packet;
}

void Pipeline::set_inference_control(const std::string& name, int value) {
    _state->set_control(name, value);
}

int Pipeline::inference_control(const std::string& name) const {
    const auto& s = *_state;
    if (s.post && PostChain::is_chain_control(name)) return s.post->control(name);
    return s.backend->control(name);
}

std::vector<IntControl> Pipeline::inference_controls() const {
    const auto& s = *_state;
    auto specs = s.backend->controls().specs();
    if (s.post) {
        const auto& chain = s.post->controls().specs();
        specs.insert(specs.end(), chain.begin(), chain.end());
    }
    return specs;
}

void Pipeline::set_stream_enabled(const std::string& stream, bool enabled) {
    _state->streams[stream_index(stream)] = enabled;
}

bool Pipeline::is_stream_enabled(const std::string& stream) const {
    return _state->streams[stream_index(stream)];
}

void Pipeline::set_rectified_width(int width) {
    _state->rectified_width = checked_rectified_width(width);
}

int Pipeline::rectified_width() const {
    return _state->rectified_width;
}

const std::string& Pipeline::backend_key() const {
    return _state->cls->key;
}
const InferenceVariant& Pipeline::variant() const {
    return _state->variant;
}
const DepthInferenceBase& Pipeline::backend() const {
    return *_state->backend;
}
InferenceKind Pipeline::backend_kind() const {
    return _state->mono ? InferenceKind::mono : InferenceKind::stereo;
}

const std::shared_ptr<FrameSource>& Pipeline::source() const {
    return _state->options.source;
}

std::optional<CameraInfo> Pipeline::camera_info() const {
    MutexLock lock(_state->mutex);
    return _state->info;
}

void Pipeline::set_camera_info(CameraInfo info) {
    MutexLock lock(_state->mutex);
    _state->info = std::move(info);
}

PipelineStats Pipeline::stats() const {
    auto& s = *_state;
    PipelineStats st;
    st.frames_grabbed = s.grabbed.load();
    st.frames_emitted = s.emitted.load();
    st.frames_undecodable = s.undecodable.load();
    st.frames_failed = s.failed.load();
    st.packets_dropped = s.dropped.load();
    MutexLock lock(s.mutex);
    if (s.started && s.t_start != Clock::time_point{}) {
        const auto end = s.finished ? s.t_end : Clock::now();
        st.seconds = std::chrono::duration<double>(end - s.t_start).count();
    }
    if (s.emit_times.size() >= 2) {
        const double span =
            std::chrono::duration<double>(s.emit_times.back() - s.emit_times.front()).count();
        if (span > 0) st.fps = static_cast<double>(s.emit_times.size() - 1) / span;
    }
    return st;
}

std::pair<std::int64_t, std::int64_t> Pipeline::get_pump_stats() {
    return _state->options.source->get_pump_stats();
}

void Pipeline::set_recording_controller(std::shared_ptr<RecordingController> controller) {
    auto& s = *_state;
    // The controller is host code: it is asked outside the lock, and the
    // swap goes ahead only if no other call replaced it meanwhile.
    for (;;) {
        const std::shared_ptr<RecordingController> held = recording_controller();
        if (held && held->is_running()) throw RuntimeError("recording already in progress");
        MutexLock lock(s.mutex);
        if (s.recording == held) {
            // The previous controller leaves in `controller`, released after the lock.
            std::swap(s.recording, controller);
            return;
        }
    }
}

std::shared_ptr<RecordingController> Pipeline::recording_controller() const {
    MutexLock lock(_state->mutex);
    return _state->recording;
}

namespace {

std::shared_ptr<RecordingController> require_controller(const Pipeline& pipeline) {
    auto controller = pipeline.recording_controller();
    if (!controller) throw RuntimeError("no recording controller");
    return controller;
}

}  // namespace

void Pipeline::start_recording(const std::filesystem::path& path,
                               std::optional<Json> camera_controls) {
    auto controller = require_controller(*this);
    RecordingStartArgs args;
    args.camera_controls = std::move(camera_controls);
    // The camera description in the shape the camera's own to_dict() gives.
    Json payload = Json::object();
    if (auto info = camera_info()) {
        payload["os_id"] = info->os_id;
        payload["sku"] = info->sku.value_or("");
        payload["model_name"] = info->camera_name;
        payload["serial"] = info->camera_serial;
    }
    const CalibrationPtr base = _state->options.source->base_calibration();
    payload["base_calibration"] = base ? base->to_dict() : Json();
    args.camera_info_payload = std::move(payload);
    controller->start(path, std::move(args));
}

void Pipeline::pause_recording() {
    require_controller(*this)->pause();
}

void Pipeline::resume_recording() {
    require_controller(*this)->resume();
}

RecordingResult Pipeline::stop_recording() {
    auto controller = recording_controller();
    if (!controller) throw RuntimeError("not recording");
    return controller->stop();
}

std::optional<RecordingStatus> Pipeline::recording_status() const {
    auto controller = recording_controller();
    if (!controller) return std::nullopt;
    return controller->status();
}

void Pipeline::write_calibration_update(const Json& calibration_dict, std::int64_t pts_us) {
    if (auto controller = recording_controller()) {
        controller->write_calibration_update(calibration_dict, pts_us);
    }
}

}  // namespace kelvo
