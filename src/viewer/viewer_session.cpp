// The viewer's session: the pipeline it runs, the packet on display and the
// commands of the page.
#include "kelvo/viewer/viewer_session.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>
#include <set>

#include <fmt/format.h>
#include <opencv2/imgproc.hpp>

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/log.hpp"
#include "kelvo/map_colours.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/worker_thread.hpp"
#include "viewer/jpeg_encoder.hpp"
#include "viewer/json_fields.hpp"

namespace kelvo {

ViewerPanel viewer_panel(const std::string& name) {
    if (name == "left") return ViewerPanel::left;
    if (name == "right") return ViewerPanel::right;
    if (name == "disparity") return ViewerPanel::disparity;
    if (name == "depth") return ViewerPanel::depth;
    throw std::invalid_argument("unknown panel " + repr(name) +
                                " (left, right, disparity or depth)");
}

namespace detail {
namespace {

constexpr int JPEG_QUALITY = 80;
constexpr double TICK_S = 0.1;
constexpr double FIGURES_PERIOD_S = 1.0;
/// Pixels around a measured point whose median depth is taken: one pixel of
/// a block matcher's map is noisy, a 5 x 5 median is not.
constexpr int MEASURE_RADIUS = 2;

/// `value` as the integer the control handle takes; invalid_argument when it
/// is not one of the control's values. Only a switch takes true or false; a
/// menu takes its entries only (the range of "auto_exposure" spans values
/// its menu leaves out, which drivers refuse).
int camera_control_value(const CameraControl& c, const Json& value) {
    if (value.is_boolean() && c.kind != "boolean") {
        throw std::invalid_argument(
            fmt::format("camera control {} takes a number, not true or false", repr(c.name)));
    }
    const int v = value.is_boolean() ? (value.get<bool>() ? 1 : 0) : as_int(value, c.name);
    if (v < c.min || v > c.max || (c.step > 1 && (v - c.min) % c.step != 0)) {
        throw std::invalid_argument(
            fmt::format("camera control {} must be within {}..{}{}; got {}", c.name, c.min, c.max,
                        c.step > 1 ? fmt::format(" in steps of {}", c.step) : "", v));
    }
    if (c.enum_values) {
        std::string entries;
        for (const auto& [entry, label] : *c.enum_values) {
            if (entry == v) return v;
            entries += fmt::format("{}{} ({})", entries.empty() ? "" : ", ", entry, label);
        }
        throw std::invalid_argument(
            fmt::format("camera control {} takes one of {}; got {}", c.name, entries, v));
    }
    return v;
}

Json finite_or_null(double v) {
    return std::isfinite(v) ? Json(v) : Json(nullptr);
}

/// The median of the finite values of `map` within `radius` of `at`; NaN when none.
double median_near(const cv::Mat& map, cv::Point at, int radius) {
    std::vector<float> values;
    for (int y = at.y - radius; y <= at.y + radius; ++y) {
        for (int x = at.x - radius; x <= at.x + radius; ++x) {
            if (x < 0 || y < 0 || x >= map.cols || y >= map.rows) continue;
            const float v = map.at<float>(y, x);
            if (std::isfinite(v)) values.push_back(v);
        }
    }
    if (values.empty()) return NAN;
    auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

/// The size a `full`-sized image is shown at when `width` is asked for:
/// never larger than the image, the aspect kept (as the pipeline shrinks eyes).
cv::Size shown_size(cv::Size full, int width) {
    if (full.width <= 0 || full.height <= 0) return full;
    const CanvasLayout layout = shrunk_layout({full.height, full.width}, width);
    return {layout.canvas_w, layout.canvas_h};
}

/// The size of the packet's eyes in frame pixels, which probes and measures
/// take: the maps', as the colour eyes may have been made smaller for display.
cv::Size frame_size(const FramePacket& p) {
    if (!p.depth.empty()) return p.depth.size();
    if (!p.disparity.empty()) return p.disparity.size();
    return p.rectified_left.size();
}

/// The width the pipeline makes the eyes: the widest asked for, 0 (whole)
/// when a client asks for the whole image; nullopt without a client.
std::optional<int> eye_width(const std::multiset<int>& widths) {
    if (widths.empty()) return std::nullopt;
    return *widths.begin() == 0 ? 0 : *widths.rbegin();
}

/// `image` at `size`; area averaging where it shrinks to less than half,
/// where bilinear sampling would alias. An image shown at three quarters of
/// its width or more stays whole: scaling it costs about what its smaller
/// encoding saves, and the browser scales it anyway.
cv::Mat scaled(const cv::Mat& image, cv::Size size) {
    if (image.empty() || image.size() == size || 4 * size.width >= 3 * image.cols) return image;
    cv::Mat out;
    const bool far = size.width * 2 < image.cols;
    cv::resize(image, out, size, 0, 0, far ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

cv::Mat placeholder(cv::Size size, const std::string& text) {
    cv::Mat out(size.height > 0 ? size : cv::Size(640, 360), CV_8UC3, cv::Scalar(32, 32, 32));
    cv::putText(out, text, {16, out.rows / 2}, cv::FONT_HERSHEY_SIMPLEX, 0.6,
                cv::Scalar(200, 200, 200), 1, cv::LINE_AA);
    return out;
}

}  // namespace

struct ViewerSessionState : std::enable_shared_from_this<ViewerSessionState> {
    // Constant after construction.
    ViewerSessionOptions options;
    std::shared_ptr<FrameSource> source;
    MkvReplay* replay = nullptr;  ///< the source, when it is a recording
    LiveCapture* live = nullptr;  ///< the source, when it is a camera
    std::shared_ptr<spdlog::logger> logger = get_logger("kelvo_camera_sdk.viewer");

    // The pipeline and what is built around it; requests that change them
    // take this mutex, so a back-end switch never meets a recording start.
    mutable Mutex control_mutex;
    std::unique_ptr<Pipeline> pipeline KELVO_GUARDED_BY(control_mutex);
    std::shared_ptr<RecordingManager> recorder KELVO_GUARDED_BY(control_mutex);
    /// Apart from `control_mutex`: the recording controller asks for it
    /// while a request holds that one.
    mutable Mutex info_mutex;
    std::optional<CameraInfo> info KELVO_GUARDED_BY(info_mutex);
    Json last_recording KELVO_GUARDED_BY(control_mutex) = nullptr;
    bool running KELVO_GUARDED_BY(control_mutex) = false;
    /// The widths the clients of the eye panels show them at.
    std::multiset<int> eye_widths KELVO_GUARDED_BY(control_mutex);

    // The packet on display and its encoded panels.
    mutable Mutex shown_mutex;
    mutable CondVar shown_cv;
    FramePacketPtr shown KELVO_GUARDED_BY(shown_mutex);
    std::uint64_t generation KELVO_GUARDED_BY(shown_mutex) = 0;
    std::int64_t shown_ns KELVO_GUARDED_BY(shown_mutex) = 0;
    bool stopping KELVO_GUARDED_BY(shown_mutex) = false;
    mutable std::array<ViewerImagePtr, 4> images KELVO_GUARDED_BY(shown_mutex);
    mutable std::array<Json, 2> ranges KELVO_GUARDED_BY(shown_mutex) = {nullptr, nullptr};
    /// One encoder per panel, so clients of one panel share its encoding.
    mutable std::array<std::mutex, 4> encode_mutex;

    // Written by the housekeeping thread, read by anyone.
    std::atomic<bool> loop{false};
    std::atomic<double> source_fps{0};
    std::atomic<std::int64_t> source_dropped{0};
    WorkerThread ticker;

    std::optional<CameraInfo> camera_info() const {
        MutexLock lock(info_mutex);
        return info;
    }

    Pipeline& pipe() KELVO_REQUIRES(control_mutex) {
        if (!pipeline) throw RuntimeError("the viewer is not running");
        return *pipeline;
    }

    std::unique_ptr<Pipeline> build_pipeline(const std::string& key, const std::string& variant,
                                             std::vector<std::pair<std::string, int>> controls)
        KELVO_REQUIRES(control_mutex) {
        PipelineOptions p;
        p.source = source;
        p.backend = key;
        p.variant = variant;
        p.controls = std::move(controls);
        p.engine = options.engine;
        p.queue_size = 0;           // the callback is the only consumer
        p.rectified_images = true;  // the left and right panels show the colour eyes
        // A new back-end keeps the eyes' width the clients asked for.
        p.rectified_width = pipeline ? pipeline->rectified_width() : 0;
        p.manage_source = false;
        p.camera_info = camera_info();
        std::weak_ptr<ViewerSessionState> weak = weak_from_this();
        p.on_packet = [weak](const FramePacketPtr& packet) {
            if (auto self = weak.lock()) self->on_packet(packet);
        };
        auto out = std::make_unique<Pipeline>(std::move(p));
        if (recorder) out->set_recording_controller(recorder);
        return out;
    }

    /// Runs on the pipeline's hand-out thread: publishes and wakes the streams.
    void on_packet(const FramePacketPtr& packet) {
        MutexLock lock(shown_mutex);
        shown = packet;
        ++generation;
        shown_ns = steady_now_ns();
        images = {};
        shown_cv.notify_all();
    }

    FramePacketPtr shown_packet() const {
        MutexLock lock(shown_mutex);
        return shown;
    }

    std::optional<std::int64_t> shown_index() const {
        const auto packet = shown_packet();
        if (!packet) return std::nullopt;
        return packet->source_frame_idx;
    }

    MkvReplay& require_replay() const {
        if (!replay) throw std::invalid_argument("playback commands need a recording");
        return *replay;
    }

    std::int64_t frame_count() const { return replay ? std::ssize(replay->frame_index()) : 0; }

    /// Shows frame `idx` of a recording again (after a change that alters
    /// what it computes to, or as a step target).
    void show_frame(std::int64_t idx) {
        MkvReplay& r = require_replay();
        const auto n = frame_count();
        if (n == 0) throw RuntimeError("the recording has no frame index");
        r._seek_to_frame_idx(std::clamp<std::int64_t>(idx, 0, n - 1));
    }

    /// Hands the pipeline the eye width the clients need; true when it changed.
    bool apply_eye_width() KELVO_REQUIRES(control_mutex) {
        const auto width = eye_width(eye_widths);
        if (!width || !pipeline || *width == pipeline->rectified_width()) return false;
        pipeline->set_rectified_width(*width);
        return true;
    }

    /// Counts a client of an eye panel in (`joined`) or out; a paused or
    /// finished recording recomputes its frame when the eyes' width changes.
    void count_eye_client(int width, bool joined) {
        bool changed = false;
        {
            MutexLock lock(control_mutex);
            if (joined) {
                eye_widths.insert(width);
            } else if (const auto it = eye_widths.find(width); it != eye_widths.end()) {
                eye_widths.erase(it);
            }
            changed = apply_eye_width();
        }
        if (changed) refresh();
    }

    /// A paused or finished recording recomputes the frame on display.
    void refresh() {
        if (!replay || !(replay->is_paused() || replay->at_end())) return;
        if (const auto idx = shown_index()) show_frame(*idx);
    }

    ViewerImagePtr encode(ViewerPanel panel, const FramePacketPtr& packet, std::uint64_t gen,
                          std::int64_t packet_ns, int width) const {
        cv::Mat image;
        std::optional<ColouredMap> coloured;
        cv::Size size = shown_size(frame_size(*packet), width);
        switch (panel) {
            case ViewerPanel::left:
                image = scaled(packet->rectified_left, size);
                size = image.size();
                break;
            case ViewerPanel::right:
                image = packet->rectified_right.empty()
                            ? placeholder(size, "no right image (monocular back-end)")
                            : scaled(packet->rectified_right, size);
                break;
            case ViewerPanel::disparity:
            case ViewerPanel::depth: {
                const cv::Mat& map =
                    panel == ViewerPanel::disparity ? packet->disparity : packet->depth;
                if (map.empty()) {
                    image = placeholder(size, panel == ViewerPanel::disparity
                                                  ? "no disparity from this back-end"
                                                  : "no depth (no calibration or back-end map)");
                } else {
                    // Coloured at the size shown: the colouring scales with the pixels too.
                    coloured = colour_map(map, shown_size(map.size(), width));
                    image = coloured->bgr;
                }
                break;
            }
        }
        auto out = std::make_shared<ViewerImage>();
        out->jpeg = encode_jpeg(image, JPEG_QUALITY);
        out->generation = gen;
        out->width = width;
        out->packet_ns = packet_ns;
        if (coloured) {
            MutexLock lock(shown_mutex);
            const auto slot = panel == ViewerPanel::disparity ? 0 : 1;
            ranges[slot] =
                coloured->any_valid ? Json::array({coloured->lo, coloured->hi}) : Json(nullptr);
        }
        return out;
    }

    /// Housekeeping: loop playback and the source's rate and drops.
    void tick(const Event& stop) {
        double since_figures = 0;
        while (!stop.wait_for(TICK_S)) {
            if (replay && loop.load() && replay->at_end() && frame_count() > 0) {
                try {
                    replay->_seek_to_frame_idx(0);
                    replay->resume();
                } catch (const std::exception&) {
                    log_exception(*logger, "restarting the loop failed (non-fatal)");
                }
            }
            since_figures += TICK_S;
            if (since_figures + 1e-9 < FIGURES_PERIOD_S) continue;
            MutexLock lock(control_mutex);
            if (!pipeline) continue;
            const auto [grabbed, dropped] = pipeline->get_pump_stats();
            source_fps.store(static_cast<double>(grabbed) / since_figures);
            source_dropped.fetch_add(dropped);
            since_figures = 0;
        }
    }

    Json recording_controls() const { return source_control_values(*source); }

    /// What the page shows about a finished recording: the host's account, or the result.
    Json describe_finished(const RecordingResult& result) const {
        return options.hooks.recording_finished ? options.hooks.recording_finished(result)
                                                : result.to_json();
    }

    static Json source_control_values(FrameSource& src) {
        Json values = Json::object();
        for (const auto& control : src.list_camera_controls()) {
            if (control.current_value) values[control.name] = *control.current_value;
        }
        return values;
    }
};

}  // namespace detail

using detail::JsonFields;

ViewerSession::ViewerSession(ViewerSessionOptions options)
    : _state(std::make_shared<detail::ViewerSessionState>()) {
    auto& st = *_state;
    if (!options.source) throw std::invalid_argument("the viewer needs a frame source");
    st.source = options.source;
    st.replay = dynamic_cast<MkvReplay*>(st.source.get());
    st.live = dynamic_cast<LiveCapture*>(st.source.get());
    st.options = std::move(options);
    MutexLock lock(st.control_mutex);
    // Built now so that a bad back-end, variant or control fails before anything opens.
    st.pipeline = st.build_pipeline(st.options.backend, st.options.variant, st.options.controls);
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
    MutexLock lock(st.control_mutex);
    if (st.running) throw RuntimeError("the viewer is already running");
    const CameraInfo opened = st.source->open();
    {
        MutexLock info_lock(st.info_mutex);
        st.info = opened;
    }
    // The pipeline built by the constructor runs with what the source
    // reported (YUYV decoding needs its size); its back-end is not built again.
    st.pipeline->set_camera_info(opened);
    RecordingManagerOptions r;
    r.source = st.source;
    std::weak_ptr<detail::ViewerSessionState> weak = _state;
    r.info_provider = [weak]() -> std::optional<CameraInfo> {
        auto self = weak.lock();
        return self ? self->camera_info() : std::nullopt;
    };
    FrameSource* src = st.source.get();
    r.camera_controls_provider = [src] {
        return detail::ViewerSessionState::source_control_values(*src);
    };
    r.recorder_factory = st.options.recorder_factory;
    st.recorder = std::make_shared<RecordingManager>(std::move(r));
    st.pipeline->set_recording_controller(st.recorder);
    st.pipeline->start();
    st.running = true;
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
    MutexLock lock(st.control_mutex);
    if (!st.running) return nullptr;
    st.running = false;
    Json finished = nullptr;
    if (st.recorder && st.recorder->status()) {
        try {
            const RecordingResult result = st.pipeline->stop_recording();
            finished = st.describe_finished(result);
        } catch (const std::exception&) {
            log_exception(*st.logger, "finishing the recording failed");
        }
    }
    st.pipeline->stop();
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
    Json j;
    {
        MutexLock lock(st.control_mutex);
        if (st.pipeline) {
            const auto stats = st.pipeline->stats();
            j["backend"] = st.pipeline->backend_key();
            j["variant"] = st.pipeline->variant().slug;
            j["mono"] =
                dynamic_cast<const NeuralMonoInferenceBase*>(&st.pipeline->backend()) != nullptr;
            j["pipeline_fps"] = stats.fps;
            j["frames_grabbed"] = stats.frames_grabbed;
            j["frames_emitted"] = stats.frames_emitted;
            j["dropped"] = {{"source", st.source_dropped.load()},
                            {"pipeline", stats.packets_dropped},
                            {"undecodable", stats.frames_undecodable},
                            {"failed", stats.frames_failed}};
        }
        const auto status = st.recorder ? st.recorder->status() : std::nullopt;
        j["recording"] = status ? status->to_json() : Json(nullptr);
        j["last_recording"] = st.last_recording;
        j["running"] = st.running;
    }
    j["source_fps"] = st.source_fps.load();
    if (st.replay) {
        j["playing"] = !st.replay->is_paused();
        j["at_end"] = st.replay->at_end();
        j["rate"] = st.replay->playback_rate();
        j["loop"] = st.loop.load();
    }
    MutexLock lock(st.shown_mutex);
    j["generation"] = st.generation;
    j["ranges"] = {{"disparity", st.ranges[0]}, {"depth", st.ranges[1]}};
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
    Json backend = Json::array();
    {
        MutexLock lock(st.control_mutex);
        if (st.pipeline) {
            for (const auto& c : st.pipeline->inference_controls()) {
                Json item = c.to_json();
                item["value"] = st.pipeline->inference_control(c.name);
                backend.push_back(item);
            }
        }
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
    {
        MutexLock lock(st.control_mutex);
        Pipeline& p = st.pipe();
        bool known = false;
        for (const auto& c : p.inference_controls()) known = known || c.name == name;
        if (!known) {
            throw std::invalid_argument(fmt::format("unknown control {} of back-end {}", repr(name),
                                                    repr(p.backend_key())));
        }
        p.set_inference_control(name, detail::as_int(value, name));
    }
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
    const int v = detail::camera_control_value(*found, value);
    auto handle = st.live->camera_controls();
    if (!handle) throw RuntimeError("the camera's controls are not open");
    handle->set(name, v);
}

void ViewerSession::select_backend(const std::string& key, const std::string& variant) {
    auto& st = *_state;
    {
        MutexLock lock(st.control_mutex);
        Pipeline& old = st.pipe();
        if (st.recorder && st.recorder->status()) {
            throw RuntimeError("stop the recording before changing the back-end");
        }
        // Built first: a bad key or variant leaves the running pipeline alone.
        auto next = st.build_pipeline(key, variant, {});
        old.stop();
        st.pipeline = std::move(next);
        st.pipeline->start();
    }
    st.refresh();
}

void ViewerSession::playback(const Json& command) {
    auto& st = *_state;
    const JsonFields fields(command, "playback command");
    const std::string action = fields.string("action");
    MkvReplay& r = st.require_replay();
    if (action == "play") {
        if (r.at_end()) st.show_frame(0);
        r.resume();
    } else if (action == "pause") {
        r.pause();
    } else if (action == "step_forward" || action == "step_back") {
        r.pause();
        const int delta = action == "step_forward" ? 1 : -1;
        if (const auto idx = st.shown_index()) {
            st.show_frame(*idx + delta);
        } else if (delta > 0) {
            r.step_one_forward();
        } else {
            r.step_one_backward();
        }
    } else if (action == "seek") {
        const auto n = st.frame_count();
        const auto frame = fields.integer("frame", 0, std::max<std::int64_t>(n - 1, 0));
        st.show_frame(frame);
    } else if (action == "rate") {
        r.set_playback_rate(fields.number("rate", MIN_PLAYBACK_RATE, MAX_PLAYBACK_RATE));
    } else if (action == "loop") {
        st.loop.store(fields.boolean("loop"));
    } else {
        throw std::invalid_argument("unknown playback action " + repr(action) +
                                    " (play, pause, step_forward, step_back, seek, rate or loop)");
    }
}

Json ViewerSession::record(const std::string& action) {
    auto& st = *_state;
    MutexLock lock(st.control_mutex);
    Pipeline& p = st.pipe();
    if (action == "start") {
        if (!st.options.hooks.recording_path) throw RuntimeError("recording is not available here");
        if (st.recorder->status()) throw RuntimeError("recording already in progress");
        p.start_recording(st.options.hooks.recording_path(), st.recording_controls());
    } else if (action == "pause") {
        p.pause_recording();
    } else if (action == "resume") {
        p.resume_recording();
    } else if (action == "stop") {
        const RecordingResult result = p.stop_recording();
        st.last_recording = st.describe_finished(result);
        return {{"recording", nullptr}, {"last_recording", st.last_recording}};
    } else {
        throw std::invalid_argument("unknown recording action " + repr(action) +
                                    " (start, pause, resume or stop)");
    }
    const auto status = p.recording_status();
    return {{"recording", status ? status->to_json() : Json(nullptr)},
            {"last_recording", st.last_recording}};
}

Json ViewerSession::save_frame() {
    auto& st = *_state;
    if (!st.options.hooks.save_frame) throw RuntimeError("saving frames is not available here");
    const auto packet = st.shown_packet();
    if (!packet) throw RuntimeError("no frame on display yet");
    std::string key;
    {
        MutexLock lock(st.control_mutex);
        key = st.pipe().backend_key();
    }
    return st.options.hooks.save_frame(*packet, key);
}

namespace detail {
namespace {

struct Point3 {
    double x, y, z, disparity;
};

/// The point of the rectified left camera seen at `at`, from the depth
/// around it; invalid_argument outside the image, absent depth as NaN z.
Point3 point_at(const FramePacket& p, cv::Point2d at) {
    const cv::Size ref = frame_size(p);
    if (!(at.x >= 0 && at.y >= 0 && at.x < ref.width && at.y < ref.height)) {
        throw std::invalid_argument(fmt::format("point ({}, {}) is outside the {}x{} image", at.x,
                                                at.y, ref.width, ref.height));
    }
    const cv::Point px(static_cast<int>(at.x), static_cast<int>(at.y));
    Point3 out{NAN, NAN, NAN, NAN};
    if (!p.disparity.empty()) out.disparity = median_near(p.disparity, px, 0);
    if (p.depth.empty() || !p.calibration) return out;
    const double z = median_near(p.depth, px, MEASURE_RADIUS);
    const auto r = p.calibration->rectification({ref.height, ref.width});
    out.z = z;
    out.x = (at.x - r->cx) * z / r->fx;
    out.y = (at.y - r->cy) * z / r->fy;
    return out;
}

}  // namespace
}  // namespace detail

Json ViewerSession::probe(cv::Point2d at) const {
    const auto packet = _state->shown_packet();
    if (!packet) throw RuntimeError("no frame on display yet");
    const detail::Point3 p = detail::point_at(*packet, at);
    return {{"x", at.x},
            {"y", at.y},
            {"disparity_px", detail::finite_or_null(p.disparity)},
            {"depth_m", detail::finite_or_null(p.z)}};
}

Json ViewerSession::measure(cv::Point2d a, cv::Point2d b) const {
    const auto packet = _state->shown_packet();
    if (!packet) throw RuntimeError("no frame on display yet");
    const detail::Point3 pa = detail::point_at(*packet, a), pb = detail::point_at(*packet, b);
    const auto xyz = [](const detail::Point3& p) { return Json::array({p.x, p.y, p.z}); };
    if (!std::isfinite(pa.z) || !std::isfinite(pb.z)) {
        return {{"distance_m", nullptr}, {"reason", "no depth at one of the points"}};
    }
    const double d = std::sqrt((pa.x - pb.x) * (pa.x - pb.x) + (pa.y - pb.y) * (pa.y - pb.y) +
                               (pa.z - pb.z) * (pa.z - pb.z));
    return {{"distance_m", d},
            {"a", xyz(pa)},
            {"b", xyz(pb)},
            {"frame", detail::optional_json(packet->source_frame_idx)}};
}

namespace {

/// A client of an eye panel, as long as it lives.
struct EyeWatch {
    EyeWatch(std::weak_ptr<detail::ViewerSessionState> s, int w) : state(std::move(s)), width(w) {}
    EyeWatch(const EyeWatch&) = delete;  // one count out per count in
    EyeWatch& operator=(const EyeWatch&) = delete;
    std::weak_ptr<detail::ViewerSessionState> state;
    int width = 0;
    ~EyeWatch() {
        if (auto s = state.lock()) {
            try {
                s->count_eye_client(width, false);
            } catch (const std::exception&) {
                log_exception(*s->logger, "releasing an eye panel's client failed (non-fatal)");
            }
        }
    }
};

}  // namespace

std::shared_ptr<const void> ViewerSession::watch(ViewerPanel panel, int width) {
    if (width < 0)
        throw std::invalid_argument(fmt::format("width must be 0 or more; got {}", width));
    // The maps are coloured at the size asked for: nothing to tell the pipeline.
    if (panel != ViewerPanel::left && panel != ViewerPanel::right) return nullptr;
    _state->count_eye_client(width, true);
    return std::make_shared<EyeWatch>(_state, width);
}

ViewerImagePtr ViewerSession::wait_image(ViewerPanel panel, std::uint64_t after, double timeout_s,
                                         int width) const {
    const auto& st = *_state;
    const auto slot = static_cast<std::size_t>(panel);
    // Clients of one panel share an encoding when they ask for the same width.
    const auto reusable = [&](const ViewerImagePtr& image, std::uint64_t gen) {
        return image && image->generation == gen && image->width == width;
    };
    FramePacketPtr packet;
    std::uint64_t gen = 0;
    std::int64_t packet_ns = 0;
    {
        MutexLock lock(st.shown_mutex);
        const auto deadline = CondVar::deadline_in(timeout_s);
        while (!st.stopping && !(st.shown && st.generation > after)) {
            if (!st.shown_cv.wait_until(lock, deadline)) break;
        }
        if (st.stopping || !st.shown || st.generation <= after) return nullptr;
        if (reusable(st.images[slot], st.generation)) return st.images[slot];
        packet = st.shown;
        gen = st.generation;
        packet_ns = st.shown_ns;
    }
    std::lock_guard encoding(st.encode_mutex[slot]);
    {
        // Another client may have encoded it while this one waited.
        MutexLock lock(st.shown_mutex);
        if (reusable(st.images[slot], gen)) return st.images[slot];
    }
    auto image = st.encode(panel, packet, gen, packet_ns, width);
    MutexLock lock(st.shown_mutex);
    if (st.generation == gen) st.images[slot] = image;
    return image;
}

}  // namespace kelvo
