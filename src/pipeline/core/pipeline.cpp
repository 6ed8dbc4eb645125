// The frame pipeline: a worker that prepares frames (grab, decode, split,
// rectify, canvas fit, neural submit) and a hand-out thread that finishes
// them in order (matcher or engine result, map back, depth) and emits packets.
#include "kelvo/pipeline/pipeline.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <fmt/format.h>
#include <opencv2/imgproc.hpp>

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/event.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/log.hpp"

namespace kelvo {

namespace {

constexpr double JOIN_TIMEOUT_S = 2.0;

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

enum class Kind { classic, neural, passthrough };

enum Stream { RECTIFIED_LEFT, RECTIFIED_RIGHT, DISPARITY, DEPTH, STREAM_COUNT };
constexpr const char* STREAM_NAMES[STREAM_COUNT] = {"rectified_left", "rectified_right",
                                                    "disparity", "depth"};

int stream_index(const std::string& name) {
    for (int i = 0; i < STREAM_COUNT; ++i) {
        if (name == STREAM_NAMES[i]) return i;
    }
    throw std::invalid_argument(fmt::format(
        "unknown stream '{}'; streams: rectified_left, rectified_right, disparity, depth", name));
}

}  // namespace

namespace detail {

/// One frame on its way from the worker to the hand-out thread.
struct PipelineJob {
    bool end = false;  ///< the source ended: no frame
    FramePtr frame;
    Clock::time_point t_grabbed;
    cv::Mat rect_l, rect_r;
    cv::Mat canvas_l, canvas_r;  ///< grey for classical back-ends; released after a neural submit
    CanvasLayout layout;
    CalibrationPtr calibration;
    std::shared_ptr<const Rectification> rect;
    InferenceFuturePtr future;  ///< neural back-ends only
    StageTimings timings;
};

struct PipelineState {
    // Constant after construction.
    PipelineOptions options;
    std::shared_ptr<const InferenceClass> cls;
    InferenceVariant variant;
    std::unique_ptr<DepthInferenceBase> backend;
    Kind kind = Kind::classic;
    ClassicStereoInferenceBase* classic = nullptr;
    NeuralInferenceBase* neural = nullptr;
    bool mono = false;  ///< a mono neural back-end: one eye in, depth out
    std::size_t max_in_flight = 2;
    std::shared_ptr<spdlog::logger> logger;

    // Atomic.
    std::array<std::atomic<bool>, STREAM_COUNT> streams{};
    std::atomic<std::int64_t> grabbed{0}, emitted{0}, undecodable{0}, failed{0}, dropped{0};
    Event stop;

    // Guarded by `mutex` (hand-over between the threads, output queue, run state).
    mutable std::mutex mutex;
    mutable std::condition_variable cv;
    std::deque<PipelineJob> jobs;
    std::size_t in_flight = 0;  ///< jobs reserved by the worker and not yet finished
    std::deque<FramePacketPtr> out;
    std::deque<Clock::time_point> emit_times;
    bool started = false;
    bool stopped = false;
    bool finished = false;
    bool worker_exited = false;
    bool handout_exited = false;
    Clock::time_point t_start, t_end;
    std::optional<CameraInfo> info;
    std::shared_ptr<RecordingController> recording;

    // Worker thread only.
    CalibrationPtr rect_calibration;  ///< the calibration `rect` was taken from
    std::shared_ptr<const Rectification> rect;
    bool warned_no_calibration = false;
    std::shared_ptr<const Rectification>
        intrinsics_for;  ///< last rectification given to a mono back-end

    void run_worker();
    void grab_loop();
    void run_handout();
    bool prepare(PipelineJob& job);
    void finish(PipelineJob& job);
    void emit(const FramePacketPtr& packet);
    void push_job(PipelineJob job);
    bool reserve_slot();
    void release_slot();
    void mark_finished();
};

// ---------------------------------------------------------------------------
// Worker: grab, decode, split, rectify, canvas fit, neural submit.

bool PipelineState::reserve_slot() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return stop.is_set() || in_flight < max_in_flight; });
    if (stop.is_set()) return false;
    ++in_flight;
    return true;
}

void PipelineState::release_slot() {
    std::lock_guard lock(mutex);
    --in_flight;
    cv.notify_all();
}

/// Records the end of the run once; called with `mutex` held.
void PipelineState::mark_finished() {
    if (!finished) {
        finished = true;
        t_end = Clock::now();
    }
}

void PipelineState::push_job(PipelineJob job) {
    std::lock_guard lock(mutex);
    jobs.push_back(std::move(job));
    cv.notify_all();
}

void PipelineState::run_worker() {
    try {
        grab_loop();
    } catch (...) {
        log_exception(*logger, "pipeline worker failed; ending the run");
    }
    // The end marker always follows the last frame, so the hand-out thread finishes.
    PipelineJob end;
    end.end = true;
    push_job(std::move(end));
}

void PipelineState::grab_loop() {
    const double timeout = options.grab_timeout_s;
    while (!stop.is_set()) {
        if (!reserve_slot()) break;
        FramePtr frame;
        try {
            frame = options.source->grab(timeout);
        } catch (...) {
            log_exception(*logger, "pipeline: grabbing from the source failed; ending the run");
            release_slot();
            break;
        }
        if (!frame) {
            release_slot();
            if (options.stop_at_end) break;
            continue;
        }
        grabbed.fetch_add(1);
        // Every grabbed frame goes to the recording controller, before any
        // processing; the controller writes it only for sources without a pump.
        std::shared_ptr<RecordingController> recording;
        {
            std::lock_guard lock(mutex);
            recording = this->recording;
        }
        if (recording) {
            try {
                recording->feed_worker_rate(frame);
            } catch (...) {
                log_exception(*logger, "pipeline: feeding the recording failed (non-fatal)");
            }
        }
        PipelineJob job;
        job.frame = frame;
        job.t_grabbed = Clock::now();
        if (!prepare(job)) {
            release_slot();
            continue;
        }
        push_job(std::move(job));
    }
}

bool PipelineState::prepare(PipelineJob& job) {
    const RawFrame& raw = *job.frame;
    auto t0 = Clock::now();
    cv::Mat image;
    try {
        const int width = info ? info->width : 0;
        const int height = info ? info->height : 0;
        image = options.source->decode_to_bgr(raw.payload, width, height);
        if (image.cols < 2 || image.rows < 1) {
            throw RuntimeError(
                fmt::format("a {}x{} image is not a side-by-side pair", image.cols, image.rows));
        }
    } catch (const std::exception& e) {
        undecodable.fetch_add(1);
        log_printf(*logger, spdlog::level::warn, "frame %d does not decode (skipped): %s",
                   static_cast<long long>(raw.sequence), e.what());
        return false;
    }
    job.timings.decode_ms = ms_since(t0);

    try {
        t0 = Clock::now();
        const int eye_w = image.cols / 2;
        const HeightWidth eye{image.rows, eye_w};
        const cv::Mat left = image(cv::Rect(0, 0, eye_w, image.rows));
        const cv::Mat right = image(cv::Rect(eye_w, 0, eye_w, image.rows));
        CalibrationPtr calibration = options.source->active_calibration();
        if (calibration) {
            if (!rect || rect_calibration != calibration || rect->eye_size != eye) {
                rect_calibration = calibration;
                rect = calibration->rectification(eye);
                log_printf(*logger, spdlog::level::debug,
                           "rectification maps built for a %dx%d eye", eye.width, eye.height);
            }
            job.rect_l = rect->rectify(left, false);
            job.rect_r = rect->rectify(right, true);
            job.calibration = calibration;
            job.rect = rect;
        } else {
            if (!warned_no_calibration) {
                warned_no_calibration = true;
                log_printf(*logger, spdlog::level::warn,
                           "source has no calibration: running on the unrectified pair");
            }
            job.rect_l = left.clone();
            job.rect_r = right.clone();
        }
        job.timings.rectify_ms = ms_since(t0);

        t0 = Clock::now();
        job.layout = fit_layout(eye, backend->input_size());
        if (kind != Kind::passthrough) {
            job.canvas_l = fit_into_canvas(job.rect_l, job.layout);
            if (!mono) {
                job.canvas_r = fit_into_canvas(job.rect_r, job.layout);
            }
        }
        if (kind == Kind::classic) {
            // The matcher works on grey; converting here keeps the hand-out
            // thread, which runs the matcher, free of anything else.
            cv::cvtColor(job.canvas_l, job.canvas_l, cv::COLOR_BGR2GRAY);
            cv::cvtColor(job.canvas_r, job.canvas_r, cv::COLOR_BGR2GRAY);
        }
        job.timings.canvas_ms = ms_since(t0);

        if (kind == Kind::neural) {
            t0 = Clock::now();
            if (mono && job.rect && job.rect != intrinsics_for) {
                // The back-end sees the canvas, so the intrinsics are scaled and shifted into it.
                const CanvasLayout& l = job.layout;
                static_cast<NeuralMonoInferenceBase*>(neural)->set_intrinsics(
                    job.rect->fx * l.scale, job.rect->fy * l.scale,
                    job.rect->cx * l.scale + l.pad_x, job.rect->cy * l.scale + l.pad_y);
                intrinsics_for = job.rect;
            }
            const std::vector<cv::Mat> blobs =
                neural->preprocess(job.canvas_l, mono ? nullptr : &job.canvas_r);
            job.future = neural->submit(blobs);
            job.canvas_l.release();
            job.canvas_r.release();
            job.timings.inference_ms = ms_since(t0);
        }
    } catch (...) {
        failed.fetch_add(1);
        log_exception(*logger,
                      fmt::format("frame {}: preparing it failed (skipped)", raw.sequence));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Hand-out: matcher or engine result, map back, depth, emit in frame order.

void PipelineState::run_handout() {
    for (;;) {
        PipelineJob job;
        {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return stop.is_set() || !jobs.empty(); });
            if (stop.is_set()) break;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        if (job.end) {
            std::lock_guard lock(mutex);
            mark_finished();
            cv.notify_all();
            break;
        }
        finish(job);
        release_slot();
    }
}

void PipelineState::finish(PipelineJob& job) {
    const RawFrame& raw = *job.frame;
    auto packet = std::make_shared<FramePacket>();
    packet->sequence = raw.sequence;
    packet->pts_us = raw.pts_us;
    packet->source_frame_idx = raw.source_frame_idx;
    packet->calibration = job.calibration;
    packet->layout = job.layout;
    packet->timings = job.timings;
    try {
        if (kind != Kind::passthrough) {
            auto t0 = Clock::now();
            cv::Mat valid;
            if (kind == Kind::classic) {
                valid =
                    classic->postprocess(classic->compute(job.canvas_l, job.canvas_r), job.layout);
            } else {
                // Poll so that stop() is never held up by an engine that hangs.
                while (!job.future->wait(0.1)) {
                    if (stop.is_set()) return;
                }
                valid = neural->postprocess(job.future->get(), job.layout);
            }
            packet->timings.inference_ms += ms_since(t0);

            t0 = Clock::now();
            cv::Mat mapped = map_to_source(valid, job.layout, /*values_scale_with_width=*/!mono);
            if (mono) {
                if (streams[DEPTH]) packet->depth = mapped;
            } else {
                if (streams[DEPTH] && job.rect) {
                    // depth = fx * baseline / disparity; no depth where there is no disparity.
                    const double fb = job.rect->fx * job.rect->baseline_m;
                    cv::Mat depth(mapped.size(), CV_32F);
                    for (int y = 0; y < mapped.rows; ++y) {
                        const float* d = mapped.ptr<float>(y);
                        float* z = depth.ptr<float>(y);
                        for (int x = 0; x < mapped.cols; ++x) {
                            z[x] = (d[x] > 0.0f) ? static_cast<float>(fb / d[x]) : invalid_value();
                        }
                    }
                    packet->depth = depth;
                }
                if (streams[DISPARITY]) packet->disparity = mapped;
            }
            packet->timings.map_back_ms = ms_since(t0);
        }
    } catch (...) {
        failed.fetch_add(1);
        log_exception(*logger, fmt::format("frame {}: back-end failed (skipped)", raw.sequence));
        return;
    }
    if (streams[RECTIFIED_LEFT]) packet->rectified_left = job.rect_l;
    if (streams[RECTIFIED_RIGHT]) packet->rectified_right = job.rect_r;
    packet->timings.total_ms = ms_since(job.t_grabbed);
    emit(packet);
}

void PipelineState::emit(const FramePacketPtr& packet) {
    if (options.on_packet) {
        try {
            options.on_packet(packet);
        } catch (...) {
            log_exception(*logger, "packet callback raised (non-fatal)");
        }
    }
    std::unique_lock lock(mutex);
    emitted.fetch_add(1);
    emit_times.push_back(Clock::now());
    while (emit_times.size() > 30) emit_times.pop_front();
    if (options.queue_size == 0) return;
    if (options.block_when_full) {
        cv.wait(lock, [&] { return stop.is_set() || out.size() < options.queue_size; });
        if (stop.is_set()) return;
    } else {
        while (out.size() >= options.queue_size) {
            out.pop_front();
            dropped.fetch_add(1);
        }
    }
    out.push_back(packet);
    cv.notify_all();
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Pipeline

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
        s.kind = Kind::passthrough;
    } else if ((s.classic = dynamic_cast<ClassicStereoInferenceBase*>(s.backend.get()))) {
        s.kind = Kind::classic;
    } else if ((s.neural = dynamic_cast<NeuralInferenceBase*>(s.backend.get()))) {
        s.kind = Kind::neural;
        s.max_in_flight = static_cast<std::size_t>(std::max(1, s.neural->nireq()));
        s.mono = s.neural->is_mono();
    } else {
        throw RuntimeError(fmt::format("back-end '{}' is neither a classical nor a neural back-end",
                                       options.backend));
    }
    for (const auto& [name, value] : options.controls)
        s.backend->set_inference_control(name, value);
    for (auto& enabled : s.streams) enabled = true;
    s.info = options.camera_info;
    s.options = std::move(options);
}

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
        std::lock_guard lock(state->mutex);
        if (state->started) throw RuntimeError("Pipeline already started");
        state->started = true;
    }
    if (state->options.manage_source) {
        try {
            CameraInfo info = state->options.source->open();
            std::lock_guard lock(state->mutex);
            state->info = std::move(info);
        } catch (...) {
            std::lock_guard lock(state->mutex);
            state->stopped = true;
            state->finished = true;
            throw;
        }
    }
    {
        std::lock_guard lock(state->mutex);
        state->t_start = Clock::now();
    }
    // Each thread holds the state, so a thread detached by stop() never
    // outlives what it uses.
    std::thread([state] {
        detail::name_this_thread("kelvo-pipeline");
        state->run_worker();
        std::lock_guard lock(state->mutex);
        state->worker_exited = true;
        state->cv.notify_all();
    }).detach();
    std::thread([state] {
        detail::name_this_thread("kelvo-pipe-out");
        try {
            state->run_handout();
        } catch (...) {
            log_exception(*state->logger, "pipeline hand-out failed");
        }
        std::lock_guard lock(state->mutex);
        state->handout_exited = true;
        state->mark_finished();
        state->cv.notify_all();
    }).detach();
}

void Pipeline::stop() {
    auto& s = *_state;
    {
        std::unique_lock lock(s.mutex);
        if (!s.started || s.stopped) return;
        s.stopped = true;
        s.stop.set();
        s.cv.notify_all();
        const bool exited = s.cv.wait_for(lock, std::chrono::duration<double>(JOIN_TIMEOUT_S),
                                          [&] { return s.worker_exited && s.handout_exited; });
        if (!exited) {
            log_printf(*s.logger, spdlog::level::warn,
                       "pipeline threads did not stop within %.1f s; left to finish on their own",
                       JOIN_TIMEOUT_S);
        }
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
    std::lock_guard lock(_state->mutex);
    return _state->started && !_state->stopped && !_state->finished;
}

bool Pipeline::is_finished() const {
    std::lock_guard lock(_state->mutex);
    return _state->finished;
}

bool Pipeline::wait_finished(double timeout_s) const {
    auto& s = *_state;
    std::unique_lock lock(s.mutex);
    if (timeout_s < 0) {
        s.cv.wait(lock, [&] { return s.finished; });
        return true;
    }
    return s.cv.wait_for(lock, std::chrono::duration<double>(timeout_s),
                         [&] { return s.finished; });
}

FramePacketPtr Pipeline::get_packet(double timeout_s) {
    auto& s = *_state;
    std::unique_lock lock(s.mutex);
    s.cv.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeout_s)),
                  [&] { return !s.out.empty() || s.finished || s.stopped; });
    if (s.out.empty()) return nullptr;
    FramePacketPtr packet = std::move(s.out.front());
    s.out.pop_front();
    s.cv.notify_all();
    return packet;
}

void Pipeline::set_inference_control(const std::string& name, int value) {
    _state->backend->set_inference_control(name, value);
}

int Pipeline::inference_control(const std::string& name) const {
    return _state->backend->control(name);
}

std::vector<IntControl> Pipeline::inference_controls() const {
    return _state->backend->controls().specs();
}

void Pipeline::set_stream_enabled(const std::string& stream, bool enabled) {
    _state->streams[stream_index(stream)] = enabled;
}

bool Pipeline::is_stream_enabled(const std::string& stream) const {
    return _state->streams[stream_index(stream)];
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

const std::shared_ptr<FrameSource>& Pipeline::source() const {
    return _state->options.source;
}

std::optional<CameraInfo> Pipeline::camera_info() const {
    std::lock_guard lock(_state->mutex);
    return _state->info;
}

PipelineStats Pipeline::stats() const {
    auto& s = *_state;
    PipelineStats st;
    st.frames_grabbed = s.grabbed.load();
    st.frames_emitted = s.emitted.load();
    st.frames_undecodable = s.undecodable.load();
    st.frames_failed = s.failed.load();
    st.packets_dropped = s.dropped.load();
    std::lock_guard lock(s.mutex);
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
    std::lock_guard lock(_state->mutex);
    if (_state->recording && _state->recording->is_running()) {
        throw RuntimeError("recording already in progress");
    }
    _state->recording = std::move(controller);
}

std::shared_ptr<RecordingController> Pipeline::recording_controller() const {
    std::lock_guard lock(_state->mutex);
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
