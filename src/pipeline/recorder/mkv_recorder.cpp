// MkvRecorder: the queue and the writer thread; recording time is
// RecordingTimeline's, the muxing itself MatroskaWriter's.
#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <deque>
#include <limits>
#include <stdexcept>

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/worker_thread.hpp"
#include "pipeline/recorder/matroska_writer.hpp"
#include "pipeline/recorder/recorder_options.hpp"
#include "pipeline/recorder/recording_timeline.hpp"

namespace kelvo {

namespace detail {

namespace {

constexpr std::size_t MAX_QUEUED_EVENTS = 4096;
constexpr double SYNC_INTERVAL_S = 0.5;  // well inside the promised second
constexpr double WRITER_WAKEUP_S = 0.1;

spdlog::logger& logger() {
    static const auto instance = get_logger("kelvo_camera_sdk.recorder");
    return *instance;
}

}  // namespace

/// Shared by the public object and the writer thread, which keeps it alive
/// until it has finished the file.
///
/// Lock order: `_control_mutex`, then `_mutex`. Neither is held while host
/// code runs (the camera-controls and time-origin providers run on the
/// writer thread without a lock) or while the logger is called.
class MkvRecorderImpl {
  public:
    enum class State { created, running, stopped };

    explicit MkvRecorderImpl(MkvRecorderOptions options)
        : _options(std::move(options)), _fps(frame_rate(_options)), _timeline(_fps) {
        _fourcc = checked_fourcc(_options);
        if (!_timeline.uses_fps()) {
            log_printf(logger(), spdlog::level::warn,
                       "recorder: a frame rate of %s fps is not a camera's; frames are timed by "
                       "their own spacing",
                       repr(_fps));
        }
        _camera_info_json = _options.camera_info_payload.is_object()
                                ? _options.camera_info_payload.dump()
                                : std::string();
        if (_fourcc == "YUYV")
            _yuyv_frame_size = static_cast<std::size_t>(_options.width) *
                               static_cast<std::size_t>(_options.height) * 2;
    }

    const std::string& path() const { return _options.path; }

    bool started() const KELVO_EXCLUDES(_mutex) {
        MutexLock lock(_mutex);
        return _state != State::created;
    }

    void start(const std::shared_ptr<MkvRecorderImpl>& self) KELVO_EXCLUDES(_control_mutex) {
        MutexLock control(_control_mutex);
        {
            MutexLock lock(_mutex);
            if (_state != State::created) throw RuntimeError("recorder was already started");
        }
        // Create the file now so that a bad path fails here, not in the writer.
        auto writer = std::make_unique<MatroskaWriter>(MatroskaWriterConfig{
            .path = _options.path,
            .fourcc = _fourcc,
            .width = _options.width,
            .height = _options.height,
            .fps = _fps,
            .camera_info_json = _camera_info_json,
        });
        _writer = std::move(writer);
        {
            MutexLock lock(_mutex);
            _state = State::running;
        }
        _running = true;
        // The body holds the recorder, so a writer left to finish on its own
        // (stop() called from one of its providers) keeps what it uses.
        try {
            _writer_thread.start("kelvo-recorder", [self](const Event&) { self->run(); });
        } catch (...) {
            // No writer: stop() must not wait for one.
            MutexLock lock(_mutex);
            _state = State::stopped;
            _writer_done = true;
            _running = false;
            throw;
        }
        control.unlock();
        log_printf(logger(), spdlog::level::info, "recording started: %s", _options.path);
    }

    /// Signals the writer, waits until it has finished the file, then joins
    /// it. The wait has no limit: the result is that of the finished file,
    /// however long the disk takes. Called on the writer itself (from a
    /// provider), it returns at once and the writer finishes by itself.
    RecordingResult stop() KELVO_EXCLUDES(_control_mutex, _mutex) {
        {
            MutexLock control(_control_mutex);
            MutexLock lock(_mutex);
            if (_state == State::created) throw RuntimeError("recorder was not started");
            _state = State::stopped;
            _stop_requested = true;
            _running = false;
            _cv.notify_all();
        }
        if (!_writer_thread.is_current_thread()) {
            MutexLock lock(_mutex);
            while (!_writer_done) _cv.wait(lock);
        }
        _writer_thread.stop();  // joins the finished writer, or detaches it from itself
        return result();
    }

    void pause() KELVO_EXCLUDES(_mutex) {
        MutexLock lock(_mutex);
        if (_state == State::running) _paused = true;
        _cv.notify_all();  // a feed waiting for room gives up its frame
    }
    void resume() KELVO_EXCLUDES(_mutex) {
        MutexLock lock(_mutex);
        _paused = false;
    }

    bool is_running() const { return _running.load(); }
    bool is_paused() const KELVO_EXCLUDES(_mutex) {
        MutexLock lock(_mutex);
        return _paused;
    }

    RecordingStatus status() const KELVO_EXCLUDES(_mutex) {
        RecordingStatus s;
        s.is_running = is_running();
        s.is_paused = is_paused();
        s.path = _options.path;
        s.frames_written = _frames_written.load();
        s.frames_dropped = _frames_dropped.load();
        s.bytes_written = _bytes.load();
        s.duration_us = _duration_us.load();
        MutexLock lock(_mutex);
        if (_failure) {
            s.state = "failed";
            s.reason = _failure;
        } else if (_state == State::running && _running.load()) {
            s.state = _paused ? "paused" : "recording";
        }
        return s;
    }

    RecordingResult result() const {
        return RecordingResult{
            .path = _options.path,
            .frames_written = _frames_written.load(),
            .frames_dropped = _frames_dropped.load(),
            .bytes = _bytes.load(),
            .duration_us = _duration_us.load(),
        };
    }

    void feed(const FramePtr& frame) KELVO_EXCLUDES(_mutex) {
        if (!frame) return;
        bool warn_bad_frame = false;
        {
            MutexLock lock(_mutex);
            if (_options.wait_when_full) {
                // The writer signals each frame it takes; stop, pause and
                // failure signal too.
                while (_state == State::running && _running.load() && !_paused &&
                       _queued_frames >= _options.queue_size) {
                    _cv.wait(lock);
                }
            }
            if (_state != State::running || !_running.load() || _paused) return;
            if (frame->payload.empty() ||
                (_yuyv_frame_size && frame->payload.size() != _yuyv_frame_size)) {
                ++_frames_dropped;
                warn_bad_frame = !std::exchange(_warned_bad_frame, true);
            } else if (_queued_frames >= _options.queue_size) {
                ++_frames_dropped;
                return;
            } else {
                if (!_first_feed_wall_ns) {
                    _first_feed_wall_ns = wall_now_ns();
                    _first_feed_steady_ns = steady_now_ns();
                }
                _queue.push_back(Item{MkvTrack::video, frame, {}, frame->pts_us});
                ++_queued_frames;
                _cv.notify_all();
                return;
            }
        }
        if (warn_bad_frame) {
            log_printf(logger(), spdlog::level::warn,
                       "recorder: frame of %d bytes does not fit the %s %dx%d stream (dropped)",
                       frame->payload.size(), _fourcc, _options.width, _options.height);
        }
    }

    void write_event(MkvTrack track, const Json& value, std::int64_t pts_us, const char* what)
        KELVO_EXCLUDES(_mutex) {
        std::string text = event_text(value, what);
        {
            MutexLock lock(_mutex);
            if (_state != State::running || !_running.load()) return;
            if (_queue.size() - _queued_frames < MAX_QUEUED_EVENTS) {
                _queue.push_back(Item{track, nullptr, std::move(text), pts_us});
                _cv.notify_all();
                return;
            }
        }
        log_printf(logger(), spdlog::level::warn, "recorder: too many %s events waiting (dropped)",
                   what);
    }

  private:
    struct Item {
        MkvTrack track;
        FramePtr frame;    ///< video items
        std::string text;  ///< event items
        std::int64_t pts_us;
    };

    // Writer thread: takes items in the order they were queued until stop()
    // has been asked and the queue is empty, then finishes the file.
    void run() KELVO_EXCLUDES(_mutex) {
        write_file();
        MutexLock lock(_mutex);
        _writer_done = true;
        _cv.notify_all();
    }

    void write_file() KELVO_EXCLUDES(_mutex) {
        auto last_sync = std::chrono::steady_clock::now();
        auto last_poll = last_sync;
        bool dirty = false;
        try {
            for (;;) {
                std::optional<Item> item;
                {
                    // Wakes now and then to poll the camera controls.
                    const auto deadline = CondVar::deadline_in(WRITER_WAKEUP_S);
                    MutexLock lock(_mutex);
                    while (_queue.empty() && !_stop_requested) {
                        if (!_cv.wait_until(lock, deadline)) break;
                    }
                    if (!_queue.empty()) {
                        item = std::move(_queue.front());
                        _queue.pop_front();
                        if (item->track == MkvTrack::video) {
                            --_queued_frames;
                            if (_options.wait_when_full) _cv.notify_all();
                        }
                    } else if (_stop_requested) {
                        break;
                    }
                }
                if (item) {
                    write_item(*item);
                    dirty = true;
                }
                const auto now = std::chrono::steady_clock::now();
                if (_writer->header_written() && _options.camera_controls_provider &&
                    std::chrono::duration<double>(now - last_poll).count() >=
                        _options.controls_poll_interval) {
                    last_poll = now;
                    poll_camera_controls();
                    dirty = true;
                }
                if (dirty &&
                    std::chrono::duration<double>(now - last_sync).count() >= SYNC_INTERVAL_S) {
                    _writer->sync();
                    last_sync = now;
                    dirty = false;
                }
            }
            if (!_writer->header_written()) {
                // No frame, so no time origin: the events hold from the start.
                for (const auto& e : _pending_events)
                    _timeline.set_origin(std::max(_timeline.origin_pts_us(), e.pts_us));
                open_recording();
            }
            flush_pending_events();
            _writer->finish();
            _bytes = _writer->bytes();
            log_printf(logger(), spdlog::level::info,
                       "recording finished: %s (%d frames written, %d dropped, %d bytes)",
                       _options.path, _frames_written.load(), _frames_dropped.load(),
                       _bytes.load());
        } catch (const std::exception& e) {
            log_exception(logger(), "recording failed, stopping: " + _options.path);
            _running = false;
            _bytes = _writer->bytes();
            _writer->abandon();
            MutexLock lock(_mutex);
            _failure = e.what();
            _cv.notify_all();  // a feed waiting for room
            _queue.clear();
            _queued_frames = 0;
        }
    }

    void write_item(const Item& item) {
        if (item.track != MkvTrack::video) {
            if (!_writer->header_written()) {
                _pending_events.push_back(item);  // timed once the first frame sets the origin
                return;
            }
            write_event_now(item.track, item.text, item.pts_us);
            return;
        }
        const bool first = !_writer->header_written();
        const auto placed = _timeline.place_frame(item.pts_us);
        if (first) open_recording();
        if (placed.went_back) {
            log_printf(logger(), spdlog::level::info,
                       "recorder: source time went back from %d to %d us; continuing at %d us",
                       placed.last_pts_us, item.pts_us, placed.rel_us);
        }
        const std::int64_t rel = placed.rel_us;
        _writer->write_video(item.frame->payload.data(), item.frame->payload.size(), rel);
        ++_frames_written;
        _duration_us = rel;
        _bytes = _writer->bytes();
    }

    void write_event_now(MkvTrack track, const std::string& text, std::int64_t pts_us) {
        _writer->write_event(track, text, _timeline.place_event(track, pts_us));
        if (track == MkvTrack::camera_state) _last_controls_text = text;
        _bytes = _writer->bytes();
    }

    void flush_pending_events() {
        for (const auto& e : _pending_events) write_event_now(e.track, e.text, e.pts_us);
        _pending_events.clear();
    }

    // The header carries the time origin, so it is written with the first frame.
    void open_recording() KELVO_EXCLUDES(_mutex) {
        const std::int64_t origin_pts_us = _timeline.origin_pts_us();
        std::int64_t first_wall_ns = 0;
        std::int64_t first_steady_ns = 0;
        {
            MutexLock lock(_mutex);
            first_wall_ns = _first_feed_wall_ns.value_or(wall_now_ns());
            first_steady_ns = _first_feed_steady_ns.value_or(steady_now_ns());
        }
        const RecordingClocks t0 =
            recording_clocks(_options, origin_pts_us, first_steady_ns, first_wall_ns, logger());
        _writer->write_header({
            {"RECORD_T0_HOST_MONOTONIC_NS", std::to_string(t0.monotonic_ns)},
            {"RECORD_T0_UNIX_EPOCH_NS", std::to_string(t0.unix_epoch_ns)},
            {"CAPTURE_CLOCK_DOMAIN", _options.clock_domain},
            {"CAMERA_NAME", _options.camera_name},
            {"CAMERA_SERIAL", _options.camera_serial},
            {"CAPTURE_MODE", _options.capture_mode_slug},
            {"FPS_TARGET", repr(_fps)},
        });
        _bytes = _writer->bytes();
        const Json& controls = _options.camera_controls;
        if (controls.is_object() && !controls.empty())
            write_event_now(MkvTrack::camera_state, controls.dump(), origin_pts_us);
        else if (controls.is_object())
            _last_controls_text = controls.dump();
        flush_pending_events();
    }

    void poll_camera_controls() {
        Json snapshot;
        try {
            snapshot = _options.camera_controls_provider();
            _provider_failing = false;
        } catch (const std::exception&) {
            if (!_provider_failing)
                log_exception(logger(), "recorder: camera_controls_provider failed (non-fatal)");
            _provider_failing = true;
            return;
        }
        if (!snapshot.is_object()) return;
        std::string text;
        try {
            text = snapshot.dump();
        } catch (const Json::exception&) {
            return;
        }
        if (text == _last_controls_text) return;
        write_event_now(MkvTrack::camera_state, text, _timeline.last_frame_pts_us());
    }

    // Constant after construction.
    const MkvRecorderOptions _options;
    std::string _fourcc;
    const double _fps;
    std::string _camera_info_json;
    std::size_t _yuyv_frame_size = 0;

    /// Serialises start() with the state change of stop().
    Mutex _control_mutex KELVO_ACQUIRED_BEFORE(_mutex);
    /// Thread-safe by itself; started under `_control_mutex`.
    WorkerThread _writer_thread;

    // Guarded by `_mutex`; `_cv` signals queued items, the stop request and
    // the writer having finished the file.
    mutable Mutex _mutex;
    CondVar _cv;
    State _state KELVO_GUARDED_BY(_mutex) = State::created;
    std::optional<std::string> _failure KELVO_GUARDED_BY(_mutex);  ///< why the writer gave up
    bool _paused KELVO_GUARDED_BY(_mutex) = false;
    bool _stop_requested KELVO_GUARDED_BY(_mutex) = false;
    bool _writer_done KELVO_GUARDED_BY(_mutex) = false;
    std::deque<Item> _queue KELVO_GUARDED_BY(_mutex);
    std::size_t _queued_frames KELVO_GUARDED_BY(_mutex) = 0;
    bool _warned_bad_frame KELVO_GUARDED_BY(_mutex) = false;
    std::optional<std::int64_t> _first_feed_wall_ns KELVO_GUARDED_BY(_mutex);
    std::optional<std::int64_t> _first_feed_steady_ns KELVO_GUARDED_BY(_mutex);

    // Atomic: read by status() from any thread.
    std::atomic<bool> _running{false};
    std::atomic<std::int64_t> _frames_written{0};
    std::atomic<std::int64_t> _frames_dropped{0};
    std::atomic<std::int64_t> _bytes{0};
    std::atomic<std::int64_t> _duration_us{0};

    // Writer thread only (set by start() before the thread exists).
    std::unique_ptr<MatroskaWriter> _writer;
    RecordingTimeline _timeline;
    std::vector<Item> _pending_events;
    std::string _last_controls_text;
    bool _provider_failing = false;
};

}  // namespace detail

MkvRecorder::MkvRecorder(MkvRecorderOptions options)
    : _impl(std::make_shared<detail::MkvRecorderImpl>(std::move(options))) {}

MkvRecorder::~MkvRecorder() {
    try {
        if (_impl->started()) _impl->stop();  // also joins a writer that failed by itself
    } catch (const std::exception&) {
        log_exception(detail::logger(), "recorder: stop on destruction failed");
    }
}

void MkvRecorder::start() {
    _impl->start(_impl);
}
RecordingResult MkvRecorder::stop() {
    return _impl->stop();
}
void MkvRecorder::pause() {
    _impl->pause();
}
void MkvRecorder::resume() {
    _impl->resume();
}
RecordingStatus MkvRecorder::status() const {
    return _impl->status();
}
bool MkvRecorder::is_running() const {
    return _impl->is_running();
}
bool MkvRecorder::is_paused() const {
    return _impl->is_paused();
}
void MkvRecorder::feed(const FramePtr& frame) {
    _impl->feed(frame);
}
void MkvRecorder::write_calibration_update(const Json& calibration_dict, std::int64_t pts_us) {
    _impl->write_event(detail::MkvTrack::calibration, calibration_dict, pts_us, "calibration_dict");
}
void MkvRecorder::write_camera_state(const Json& controls, std::int64_t pts_us) {
    _impl->write_event(detail::MkvTrack::camera_state, controls, pts_us, "camera state");
}
const std::string& MkvRecorder::path() const {
    return _impl->path();
}

}  // namespace kelvo
