#include "kelvo/pipeline/recording_manager.hpp"

#include <mutex>

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo {

namespace detail {

/// A shared-pointer cell read and written whole. Its mutex is held only to
/// copy the pointer, never while the recorder or the source is called, so
/// the controller's frame paths and control calls never wait on each other.
class RecorderCell {
  public:
    std::shared_ptr<MkvRecorder> load() const {
        std::lock_guard lock(_mutex);
        return _value;
    }
    void store(std::shared_ptr<MkvRecorder> value) { exchange(std::move(value)); }
    std::shared_ptr<MkvRecorder> exchange(std::shared_ptr<MkvRecorder> value) {
        std::lock_guard lock(_mutex);
        _value.swap(value);
        return value;  // the previous one, released outside the lock
    }

  private:
    mutable std::mutex _mutex;
    std::shared_ptr<MkvRecorder> _value;
};

/// What the pump callback needs; outlives the controller while the source
/// still holds the callback.
struct RecordingManagerCore {
    RecorderCell _recorder;
};

namespace {

spdlog::logger& logger() {
    static const auto instance = get_logger("kelvo_camera_sdk.recording_manager");
    return *instance;
}

/// Feeds a running recorder unless it is paused; a failure is logged with
/// `failure` and goes no further.
void feed_unless_paused(MkvRecorder& recorder, const FramePtr& raw, const char* failure) {
    if (recorder.is_paused()) return;
    try {
        recorder.feed(raw);
    } catch (...) {
        log_exception(logger(), failure);
    }
}

void pump_frame(RecordingManagerCore& core, const FramePtr& raw) {
    const auto recorder = core._recorder.load();
    if (!recorder || !recorder->is_running()) return;
    feed_unless_paused(*recorder, raw, "recorder feed raised (non-fatal)");
}

}  // namespace
}  // namespace detail

RecordingManager::RecordingManager(RecordingManagerOptions options)
    : _source(std::move(options.source)),
      _info_provider(std::move(options.info_provider)),
      _camera_controls_provider(std::move(options.camera_controls_provider)),
      _recorder_factory(std::move(options.recorder_factory)),
      _core(std::make_shared<detail::RecordingManagerCore>()) {
    if (!_source) throw std::invalid_argument("RecordingManager needs a source, got none");
    _pump_callback = make_frame_callback(
        [core = _core](const FramePtr& raw) { detail::pump_frame(*core, raw); });
}

RecordingManager::~RecordingManager() {
    const auto recorder = _core->_recorder.exchange(nullptr);
    if (!recorder) return;
    try {
        if (_source) _source->remove_fanout(_pump_callback);
        if (recorder->is_running()) recorder->stop();
    } catch (...) {
        log_exception(detail::logger(), "stopping the recording at shutdown failed (non-fatal)");
    }
}

bool RecordingManager::is_running() const {
    const auto recorder = _core->_recorder.load();
    return recorder ? recorder->is_running() : false;
}

bool RecordingManager::is_paused() const {
    const auto recorder = _core->_recorder.load();
    return recorder ? recorder->is_paused() : false;
}

void RecordingManager::pause() {
    if (const auto recorder = _core->_recorder.load()) recorder->pause();
}

void RecordingManager::resume() {
    if (const auto recorder = _core->_recorder.load()) recorder->resume();
}

std::optional<RecordingStatus> RecordingManager::status() const {
    const auto recorder = _core->_recorder.load();
    if (!recorder) return std::nullopt;
    return recorder->status();
}

void RecordingManager::start(const std::filesystem::path& path, RecordingStartArgs args) {
    if (is_running()) throw RuntimeError("recording already in progress");
    std::optional<CameraInfo> info;
    if (_info_provider) info = _info_provider();
    if (!info) throw RuntimeError("pipeline.start() must be called first");

    // Evaluated one by one, in this order: the providers and the source may
    // have side effects, and the order is part of the contract.
    MkvRecorderOptions options;
    options.path = path.string();
    options.width = info->width;
    options.height = info->height;
    options.clock_domain = info->clock_domain;
    options.camera_info_payload = std::move(args.camera_info_payload);
    if (args.camera_controls && !args.camera_controls->empty())
        options.camera_controls = std::move(*args.camera_controls);
    else
        options.camera_controls =
            _camera_controls_provider ? _camera_controls_provider() : Json::object();
    options.camera_name = info->camera_name;
    options.camera_serial = info->camera_serial;
    options.camera_controls_provider = _camera_controls_provider;
    const auto slug = _source->mode_slug();
    options.capture_mode_slug = slug && !slug->empty() ? *slug : std::string();
    options.source_fourcc = detail::upper(_source->fourcc());
    // A weak reference: the recorder must not keep the source (which holds our
    // callback) alive.
    options.t0_monotonic_ns_provider =
        [weak = std::weak_ptr<FrameSource>(_source)]() -> std::optional<std::int64_t> {
        const auto source = weak.lock();
        return source ? source->t0_monotonic_ns() : std::nullopt;
    };

    std::shared_ptr<MkvRecorder> recorder = _recorder_factory
                                                ? _recorder_factory(std::move(options))
                                                : std::make_shared<MkvRecorder>(std::move(options));
    if (!recorder) throw RuntimeError("recorder factory returned no recorder");
    recorder->start();
    const auto previous = _core->_recorder.exchange(recorder);
    // A held recorder that stopped by itself was never unregistered; replace
    // its registration instead of adding a second one.
    if (previous) _source->remove_fanout(_pump_callback);
    _source->add_fanout(_pump_callback);
}

RecordingResult RecordingManager::stop() {
    if (!is_running()) throw RuntimeError("not recording");
    const auto recorder = _core->_recorder.load();
    _source->remove_fanout(_pump_callback);
    RecordingResult result = recorder->stop();
    _core->_recorder.store(nullptr);
    return result;
}

void RecordingManager::feed_worker_rate(const FramePtr& raw) {
    const auto recorder = _core->_recorder.load();
    if (!recorder || !recorder->is_running()) return;
    // One path per source: a source with a pump (live, realtime replay) hands
    // every frame to the fan-out callback; only the others are fed from here.
    if (_source->has_pump()) return;
    detail::feed_unless_paused(*recorder, raw, "recorder feed failed (non-fatal)");
}

void RecordingManager::write_calibration_update(const Json& calibration_dict, std::int64_t pts_us) {
    const auto recorder = _core->_recorder.load();
    if (!recorder || !recorder->is_running()) return;
    try {
        recorder->write_calibration_update(calibration_dict, pts_us);
    } catch (...) {
        log_exception(detail::logger(), "calibration history write failed (non-fatal)");
    }
}

void RecordingManager::_on_pump_frame(const FramePtr& raw) {
    detail::pump_frame(*_core, raw);
}

}  // namespace kelvo
