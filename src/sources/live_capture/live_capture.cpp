// LiveCapture: opening a camera through the platform back-end, its control
// handle, and the pump thread that turns device packets into frames.
#include "kelvo/sources/live_capture.hpp"

#include <atomic>
#include <limits>
#include <stdexcept>
#include <typeinfo>

#include <fmt/format.h>

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/pixdesc.h>
}

#include "core/ffmpeg_raii.hpp"
#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "kelvo/sources/frame_slot.hpp"
#include "sources/live_capture/live_capture_state.hpp"

namespace kelvo {

namespace {

using detail::FfmpegError;

constexpr const char* LOGGER_NAME = "kelvo_camera_sdk.live_capture";
constexpr double JOIN_LIMIT_S = 2.0;
// Linux keeps 15 characters of a thread name; the rest of "kelvo-camera-pump" is cut.
constexpr const char* PUMP_THREAD_NAME = "kelvo-camera-pump";

int interrupt_requested(void* opaque) {
    return static_cast<std::atomic<bool>*>(opaque)->load() ? 1 : 0;
}

void register_devices_once() {
    static std::once_flag once;
    std::call_once(once, [] { avdevice_register_all(); });
}

const CaptureMode& resolve_mode(const KelvoCameraInfo& info,
                                const std::optional<CaptureMode>& mode) {
    // Modes, controls and calibration must be known before the device is touched.
    if (!info.spec) {
        throw std::invalid_argument(fmt::format(
            "LiveCapture needs a camera of the catalogue; SKU {} has no camera specification",
            repr(info.sku)));
    }
    return mode ? *mode : info.spec->default_mode();
}

std::string type_error_text(const std::string& type_name) {
    return "LiveCapture expects a KelvoCameraInfo, got " + type_name +
           ". Resolve the camera via list_connected_kelvo_cameras() / "
           "get_connected_kelvo_camera_by_serial(serial) first.";
}

std::string readable_type_name(const std::type_info& type) {
    std::string name = detail::demangled_name(type);
    const std::string long_string =
        "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >";
    for (auto at = name.find(long_string); at != std::string::npos; at = name.find(long_string)) {
        name.replace(at, long_string.size(), "std::string");
    }
    return name;
}

/// The camera as this source presents it: with the calibration that replaces its own.
KelvoCameraInfo with_calibration(KelvoCameraInfo camera, const CalibrationPtr& calibration) {
    if (calibration) camera.base_calibration = calibration;
    return camera;
}

}  // namespace

LiveCapture::LiveCapture(KelvoCameraInfo camera_info, LiveCaptureOptions options)
    : _camera_info(with_calibration(std::move(camera_info), options.calibration)),
      _os_id(_camera_info.os_id),
      _mode(resolve_mode(_camera_info, options.mode)),
      _backend(current_backend()),
      _shared(std::make_shared<detail::LiveCaptureShared>()),
      _initial_controls(std::move(options.initial_controls)) {
    _shared->logger = get_logger(LOGGER_NAME);
}

std::unique_ptr<LiveCapture> LiveCapture::from_record(const Json& camera_info,
                                                      LiveCaptureOptions options) {
    const bool is_record =
        camera_info.is_object() && camera_info.contains("os_id") && camera_info.contains("sku");
    if (!is_record) throw TypeError(type_error_text(camera_info.type_name()));
    return std::make_unique<LiveCapture>(KelvoCameraInfo::from_dict(camera_info),
                                         std::move(options));
}

std::unique_ptr<LiveCapture> make_live_capture(const std::any& camera_info,
                                               LiveCaptureOptions options) {
    if (auto info = std::any_cast<KelvoCameraInfo>(&camera_info)) {
        return std::make_unique<LiveCapture>(*info, std::move(options));
    }
    bool null_pointer = false;
    if (auto ptr = std::any_cast<std::shared_ptr<const KelvoCameraInfo>>(&camera_info)) {
        if (*ptr) return std::make_unique<LiveCapture>(**ptr, std::move(options));
        null_pointer = true;
    }
    if (auto ptr = std::any_cast<std::shared_ptr<KelvoCameraInfo>>(&camera_info)) {
        if (*ptr) return std::make_unique<LiveCapture>(**ptr, std::move(options));
        null_pointer = true;
    }
    if (auto json = std::any_cast<Json>(&camera_info)) {
        return LiveCapture::from_record(*json, std::move(options));
    }
    std::string type = readable_type_name(camera_info.type());
    if (null_pointer) type += " (null)";
    throw TypeError(type_error_text(type));
}

LiveCapture::~LiveCapture() {
    close();
}

/// What one successful pass over the device yields. Until open() adopts it,
/// it owns the input and the control handle: dropping it releases both.
struct LiveCapture::Opening {
    std::shared_ptr<detail::LivePumpRun> run;
    std::shared_ptr<CameraControls> controls;
    std::string effective_fourcc;
    CameraInfo info;

    Opening() = default;
    Opening(Opening&&) = default;
    Opening& operator=(Opening&&) = delete;
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;
    ~Opening() { close_controls(controls); }

    /// Closes a control handle, swallowing its errors (close() must not fail).
    static void close_controls(std::shared_ptr<CameraControls>& controls) noexcept {
        if (!controls) return;
        try {
            controls->close();
        } catch (...) {
        }
        controls.reset();
    }
};

LiveCapture::Opening LiveCapture::_open_device() const {
    auto& logger = *_shared->logger;
    Opening opening;
    opening.run = std::make_shared<detail::LivePumpRun>();
    detail::LivePumpRun& run = *opening.run;

    const std::string camera_name =
        _camera_info.model_name.empty() ? "(unknown)" : _camera_info.model_name;
    const std::string camera_serial = _camera_info.serial;

    const AvOpenArgs args = _backend->av_open_args(_os_id, _mode);

    register_devices_once();
    const AVInputFormat* input_format = av_find_input_format(args.input_format.c_str());
    if (!input_format) {
        throw RuntimeError(fmt::format("unknown FFmpeg input format '{}'", args.input_format));
    }
    {
        AVFormatContext* ctx = avformat_alloc_context();
        if (!ctx) throw RuntimeError("avformat_alloc_context failed");
        ctx->interrupt_callback.callback = interrupt_requested;
        ctx->interrupt_callback.opaque = &run.interrupt;
        AVDictionary* raw_options = nullptr;
        for (const auto& [key, value] : args.options) {
            av_dict_set(&raw_options, key.c_str(), value.c_str(), 0);
        }
        detail::DictionaryPtr options_guard(raw_options);
        // On failure avformat_open_input frees the context itself.
        const int rc = avformat_open_input(&ctx, args.url.c_str(), input_format, &raw_options);
        options_guard.release();
        detail::DictionaryPtr leftover(raw_options);
        detail::check_av(rc, fmt::format("cannot open camera input '{}'", args.url));
        run.input.reset(ctx);
        for (const AVDictionaryEntry* e = nullptr;
             (e = av_dict_get(leftover.get(), "", e, AV_DICT_IGNORE_SUFFIX));) {
            log_printf(logger, spdlog::level::debug, "camera input ignored option %s=%s", e->key,
                       e->value);
        }
    }
    const AVFormatContext* ctx = run.input.get();

    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            run.stream_index = static_cast<int>(i);
            break;
        }
    }
    if (run.stream_index < 0) {
        throw RuntimeError(fmt::format("camera input '{}' has no video stream", args.url));
    }
    const AVStream* stream = ctx->streams[run.stream_index];
    run.stream_time_base = stream->time_base;

    const AVCodecParameters* par = stream->codecpar;
    StreamCodecParameters codec;
    codec.codec_name = avcodec_get_name(par->codec_id);
    if (const char* pix = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format))) {
        codec.pixel_format = pix;
    }
    codec.codec_tag = par->codec_tag;
    codec.width = par->width;
    codec.height = par->height;
    const std::string requested = detail::upper(_mode.fourcc);
    opening.effective_fourcc = _backend->detect_fourcc(requested, codec);
    if (opening.effective_fourcc != requested) {
        log_printf(logger, spdlog::level::warn,
                   "requested fourcc %s but capturing as %s (e.g. macOS AVFoundation exposes no "
                   "MJPEG path → raw YUYV)",
                   requested, opening.effective_fourcc);
    }

    try {
        opening.controls =
            std::shared_ptr<CameraControls>(_backend->open_controls(_os_id, _camera_info.serial));
    } catch (const CameraSerialMismatch&) {
        throw;
    } catch (...) {
        opening.controls.reset();
        log_printf(logger, spdlog::level::debug, "camera controls unavailable for %s: %s", _os_id,
                   describe_exception(std::current_exception()));
    }

    if (opening.controls) {
        for (const auto& [name, value] : _initial_controls) {
            try {
                opening.controls->set(name, value);
            } catch (...) {
                log_printf(logger, spdlog::level::warn, "initial control %r=%r failed (non-fatal)",
                           repr(name), repr(value));
            }
        }
    }

    std::optional<std::string> sku;
    if (!_camera_info.sku.empty()) sku = _camera_info.sku;

    const int stream_width = par->width > 0 ? par->width : _mode.width;
    const int stream_height = par->height > 0 ? par->height : _mode.height;
    if (stream_width != _mode.width || stream_height != _mode.height) {
        log_printf(logger, spdlog::level::warn,
                   "requested %dx%d but stream opened at %dx%d — the requested size+fps+fourcc "
                   "combo isn't natively supported",
                   _mode.width, _mode.height, stream_width, stream_height);
    }

    CameraInfo& info = opening.info;
    info.os_id = _os_id;
    info.camera_name = camera_name;
    info.camera_serial = camera_serial;
    info.width = stream_width;
    info.height = stream_height;
    info.fps = _mode.fps;
    info.is_live = true;
    info.clock_domain = _backend->clock_domain();
    info.sku = sku;

    run.backend = _backend;
    run.calibration = base_calibration();
    run.width = stream_width;
    run.height = stream_height;
    return opening;
}

CameraInfo LiveCapture::open() {
    {
        MutexLock lock(_state_mutex);
        while (_phase == Phase::closing) _phase_cv.wait(lock);
        if (_phase != Phase::closed) throw RuntimeError("LiveCapture already open");
        _phase = Phase::opening;
    }
    try {
        Opening opening = _open_device();
        MutexLock lock(_state_mutex);
        _pump.start(PUMP_THREAD_NAME,
                    [shared = _shared, run = opening.run, fanout = _fanout](const Event& stop) {
                        _pump_loop(*shared, *run, *fanout, stop);
                    });
        _shared->slot.reopen();
        _run = std::move(opening.run);
        _controls = std::move(opening.controls);
        _info = opening.info;
        _effective_fourcc = std::move(opening.effective_fourcc);
        _phase = Phase::open;
        _phase_cv.notify_all();
        return opening.info;
    } catch (...) {
        // Left closed: unwinding has released the input and the control handle.
        MutexLock lock(_state_mutex);
        _phase = Phase::closed;
        _phase_cv.notify_all();
        throw;
    }
}

FramePtr LiveCapture::grab(double timeout) {
    {
        MutexLock lock(_state_mutex);
        if (_phase != Phase::open) throw RuntimeError("LiveCapture not open");
    }
    return _shared->slot.take(timeout);
}

void LiveCapture::close() {
    std::shared_ptr<detail::LivePumpRun> run;
    std::shared_ptr<CameraControls> controls;
    {
        MutexLock lock(_state_mutex);
        while (_phase == Phase::opening) _phase_cv.wait(lock);
        // Closed already, or another close() is at work (maybe waiting for
        // this very thread, the pump): nothing to wait for here.
        if (_phase != Phase::open) return;
        _phase = Phase::closing;
        run = std::move(_run);
        controls = std::move(_controls);
    }
    run->interrupt.store(true);  // a read blocked in the demuxer returns now
    _pump.request_stop();
    _shared->slot.close();  // a waiting grab() returns at once
    // Joins the pump, or leaves it behind when called on the pump itself or
    // when a fan-out callback holds it past the limit; a pump left behind
    // keeps the run (and the input) alive until it ends.
    _pump.stop(JOIN_LIMIT_S);
    run.reset();
    Opening::close_controls(controls);
    MutexLock lock(_state_mutex);
    _phase = Phase::closed;
    _phase_cv.notify_all();
}

bool LiveCapture::at_end() const {
    MutexLock lock(_state_mutex);
    return _phase == Phase::open && _run->ended.load();
}

std::pair<std::int64_t, std::int64_t> LiveCapture::get_pump_stats() {
    return _shared->slot.take_stats();
}

std::vector<CameraControl> LiveCapture::list_camera_controls() {
    std::shared_ptr<CameraControls> controls;
    std::optional<std::string> sku;
    {
        MutexLock lock(_state_mutex);
        if (!_controls || !_info) return {};
        controls = _controls;
        sku = _info->sku;
    }
    if (!sku || sku->empty()) return {};
    auto spec = spec_by_sku(*sku);
    if (!spec) return {};
    std::vector<CameraControl> listing;
    for (const auto& control : spec->platform_controls()) {
        std::optional<double> value;
        try {
            value = controls->get(control.name);
        } catch (...) {
            value.reset();
        }
        listing.push_back(control.with_current_value(value));
    }
    return listing;
}

std::shared_ptr<CameraControls> LiveCapture::camera_controls() const {
    MutexLock lock(_state_mutex);
    return _controls;
}

std::optional<std::int64_t> LiveCapture::t0_monotonic_ns() const {
    const std::int64_t t0 = _shared->t0_monotonic_ns.load();
    if (t0 == detail::NO_ANCHOR) return std::nullopt;
    return t0;
}

std::string LiveCapture::fourcc() const {
    MutexLock lock(_state_mutex);
    return _effective_fourcc ? *_effective_fourcc : detail::upper(_mode.fourcc);
}

}  // namespace kelvo
