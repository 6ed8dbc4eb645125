// MkvRecorder: writes a recording (Matroska: video stream copy, global tags,
// camera_info.json attachment, calibration and camera_state subtitle tracks)
// from a bounded queue drained by its own writer thread.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/types.hpp"

namespace kelvo {

/// The recorder's settings. The members up to `t0_monotonic_ns_provider` are
/// declared in the order the recording controller evaluates them.
struct MkvRecorderOptions {
    std::string path;
    int width = 0;
    int height = 0;
    std::string clock_domain = "linux_monotonic";
    Json camera_info_payload = Json::object();  ///< written as camera_info.json
    Json camera_controls = Json::object();      ///< first camera_state snapshot
    std::string camera_name;
    std::string camera_serial;
    /// Polled while recording; a changed snapshot is written as a camera_state event.
    std::function<Json()> camera_controls_provider;
    std::string capture_mode_slug;       ///< "CAPTURE_MODE" tag
    std::string source_fourcc = "MJPG";  ///< "MJPG" -> mjpeg, "YUYV" -> rawvideo/YUY2
    /// The source's host-monotonic time origin, read when the first frame is
    /// written; the "RECORD_T0_HOST_MONOTONIC_NS" tag is that origin moved to
    /// the first recorded frame.
    std::function<std::optional<std::int64_t>()> t0_monotonic_ns_provider;
    /// "FPS_TARGET" tag; when absent, the rate of `capture_mode_slug`
    /// ("1280x720@7.5-YUYV" -> 7.5), else 30.
    std::optional<double> fps;
    std::size_t queue_size = 64;  ///< frames waiting for the writer; more are dropped
    /// How often `camera_controls_provider` is polled, in seconds.
    double controls_poll_interval = 0.5;
    /// The source's wall-clock time origin (Unix epoch, ns), read when the
    /// first frame is written; when it gives a value (a replay being copied),
    /// the "RECORD_T0_UNIX_EPOCH_NS" tag is that origin moved to the first
    /// recorded frame instead of the wall clock at that moment.
    std::function<std::optional<std::int64_t>()> t0_utc_ns_provider;
    /// A feed finding `queue_size` frames waiting blocks until the writer has
    /// taken one (or the recording stops, pauses or fails) instead of
    /// dropping the frame. Only for a feeding thread that may wait: never a
    /// source's pump.
    bool wait_when_full = false;
};

/// Snapshot of a recording in progress.
struct RecordingStatus {
    bool is_running = false;
    bool is_paused = false;
    std::string path;
    std::int64_t frames_written = 0;
    std::int64_t frames_dropped = 0;
    std::int64_t bytes_written = 0;
    std::int64_t duration_us = 0;  ///< recording time of the last written frame
    /// "idle" (not started, or stopped), "recording", "paused", or "failed":
    /// stopped by itself on a write error, what it wrote before kept.
    std::string state = "idle";
    std::optional<std::string> reason;  ///< why it failed; only when "failed"
    KELVO_API Json to_json() const;
};

/// What a finished recording holds.
struct RecordingResult {
    std::string path;
    std::int64_t frames_written = 0;
    std::int64_t frames_dropped = 0;
    std::int64_t bytes = 0;
    std::int64_t duration_us = 0;  ///< recording time of the last written frame
    KELVO_API Json to_json() const;
};

namespace detail {
class MkvRecorderImpl;
}

/// States: created -> running (start) <-> paused (pause/resume) -> stopped
/// (stop, or by itself after a write error, which it logs).
///
/// `feed` may be called from any thread; frames are queued and written by the
/// recorder's writer thread ("kelvo-recorder"). Every frame fed is written
/// (which path feeds a recording is the recording controller's decision).
/// Recording time 0 is the `pts_us` of the first frame fed after `start`; a
/// source whose time goes back (a replay that loops or seeks back) continues
/// the recording one frame interval after the last written frame. Frames fed
/// while paused are not written and not counted as dropped.
///
/// The providers of the options are called on the writer thread, never under
/// a lock of the recorder; a provider may call `stop`, which then returns at
/// once and leaves the writer to finish the file.
///
/// Crash safety: every frame is written out as a closed cluster as soon as
/// the writer takes it, and the file is synced to disk at least once a second,
/// so a killed process or a power loss leaves a file that replays up to about
/// its last second. The cues (one per frame) are written by `stop`.
///
/// The methods are virtual so that tests can stand in a recorder that fails.
class KELVO_API MkvRecorder {
  public:
    /// Checks the options (std::invalid_argument); opens nothing.
    explicit MkvRecorder(MkvRecorderOptions options);
    virtual ~MkvRecorder();  ///< stops and finishes the file
    MkvRecorder(const MkvRecorder&) = delete;
    MkvRecorder& operator=(const MkvRecorder&) = delete;

    /// Creates the file and starts the writer thread; RuntimeError when the
    /// file cannot be created or the recorder was started before.
    virtual void start();
    /// Writes the queued frames, the cues and the end of the file, waiting
    /// for the writer as long as that takes (the result is the finished
    /// file's); a second call returns the same result. RuntimeError before
    /// `start`.
    virtual RecordingResult stop();
    virtual void pause();
    virtual void resume();
    virtual RecordingStatus status() const;
    virtual bool is_running() const;
    virtual bool is_paused() const;

    /// Queues a frame; a full queue drops it and counts the drop. Ignored
    /// when not running or paused.
    virtual void feed(const FramePtr& frame);
    /// One complete calibration entry at `pts_us` of the source's clock.
    /// std::invalid_argument when it is not a JSON object.
    virtual void write_calibration_update(const Json& calibration_dict, std::int64_t pts_us);
    /// One camera-control snapshot at `pts_us` of the source's clock.
    virtual void write_camera_state(const Json& controls, std::int64_t pts_us);

    const std::string& path() const;

  private:
    std::shared_ptr<detail::MkvRecorderImpl> _impl;
};

}  // namespace kelvo
