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
    std::string capture_mode_slug;  ///< "CAPTURE_MODE" tag
    std::string source_fourcc = "MJPG";  ///< "MJPG" -> mjpeg, "YUYV" -> rawvideo/YUY2
    /// Gives the "RECORD_T0_HOST_MONOTONIC_NS" tag when the first frame arrives.
    std::function<std::optional<std::int64_t>()> t0_monotonic_ns_provider;
    double fps = 30.0;             ///< "FPS_TARGET" tag
    std::size_t queue_size = 64;   ///< frames waiting for the writer; more are dropped
};

/// Snapshot of a recording in progress.
struct RecordingStatus {
    bool is_running = false;
    bool is_paused = false;
    std::string path;
    std::int64_t frames_written = 0;
    std::int64_t frames_dropped = 0;
    std::int64_t bytes_written = 0;
    std::int64_t duration_us = 0;  ///< pts of the last written frame
    Json to_json() const;
};

/// What a finished recording holds.
struct RecordingResult {
    std::string path;
    std::int64_t frames_written = 0;
    std::int64_t frames_dropped = 0;
    std::int64_t bytes = 0;
    std::int64_t duration_us = 0;
    Json to_json() const;
};

namespace detail {
class MkvRecorderImpl;
}

/// States: created -> running (start) <-> paused (pause/resume) -> stopped
/// (stop, or by itself after a write error). `feed` may be called from any
/// thread; frames are queued and written by the recorder's writer thread.
class KELVO_API MkvRecorder {
public:
    explicit MkvRecorder(MkvRecorderOptions options);
    ~MkvRecorder();  ///< stops and finishes the file
    MkvRecorder(const MkvRecorder&) = delete;
    MkvRecorder& operator=(const MkvRecorder&) = delete;

    void start();
    RecordingResult stop();
    void pause();
    void resume();
    RecordingStatus status() const;
    bool is_running() const;
    bool is_paused() const;

    /// Queues a frame; a full queue drops it and counts the drop.
    void feed(const FramePtr& frame);
    /// One complete calibration entry at `pts_us` of the source's clock.
    void write_calibration_update(const Json& calibration_dict, std::int64_t pts_us);
    /// One camera-control snapshot at `pts_us` of the source's clock.
    void write_camera_state(const Json& controls, std::int64_t pts_us);

private:
    std::shared_ptr<detail::MkvRecorderImpl> _impl;
};

}  // namespace kelvo
