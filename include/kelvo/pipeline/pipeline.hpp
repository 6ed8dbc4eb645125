// The frame pipeline: takes frames from any FrameSource, decodes and splits
// the side-by-side image, rectifies it with the calibration in force, fits
// both eyes into the selected back-end's canvas, runs the back-end and hands
// out FramePackets (rectified eyes, disparity or depth, timings).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo {

/// Milliseconds spent in each stage of one frame.
struct StageTimings {
    double decode_ms = 0;     ///< payload to image (grey where the back-end needs no colour)
    double rectify_ms = 0;    ///< the rectified colour eyes (when they are produced)
    double canvas_ms = 0;     ///< both eyes into the canvas (rectified on the way when grey)
    double inference_ms = 0;  ///< back-end (preprocess, matcher or engine, postprocess)
    double post_ms = 0;       ///< the post-processing chain
    double map_back_ms = 0;   ///< canvas result to the rectified image, depth
    double total_ms = 0;      ///< from grab to hand-out
};

/// One processed frame. Maps are CV_32F at the rectified eye size; an
/// absent stream is an empty cv::Mat.
struct FramePacket {
    std::int64_t sequence = 0;  ///< the source frame's sequence number
    std::int64_t pts_us = 0;    ///< the source frame's timestamp
    std::optional<std::int64_t> source_frame_idx;
    cv::Mat rectified_left;   ///< CV_8UC3 BGR (with `PipelineOptions::rectified_images`)
    cv::Mat rectified_right;  ///< CV_8UC3 BGR (likewise; stereo sources)
    cv::Mat disparity;        ///< rectified-image pixels; NaN where invalid (stereo back-ends)
    cv::Mat depth;  ///< metres for stereo (fx * baseline / disparity); the mono back-end's depth
    /// CV_8U, the size of the map: how far to trust each value, 0 for a hole up to 255.
    cv::Mat confidence;
    CalibrationPtr calibration;  ///< the calibration used; null when the pair was not rectified
    /// The source frame's camera-state snapshot (RawFrame::camera_state); null when it had none.
    std::shared_ptr<const Json> camera_state;
    CanvasLayout layout;  ///< where the eye lay inside the back-end's canvas
    StageTimings timings;
};

using FramePacketPtr = std::shared_ptr<const FramePacket>;
using PacketCallback = std::function<void(const FramePacketPtr&)>;

struct PipelineOptions {
    std::shared_ptr<FrameSource> source;
    std::string backend = "stereo-bm";  ///< registry key
    std::string variant;                ///< variant slug; empty = the back-end's first
    /// Control values applied before the first frame, in order.
    std::vector<std::pair<std::string, int>> controls;
    InferenceCreateOptions engine;  ///< engine settings of neural back-ends
    /// Packets waiting in the output queue; 0 disables the queue (callback only).
    std::size_t queue_size = 4;
    /// When the queue is full: false drops the oldest packet (live viewing),
    /// true makes the pipeline wait for the consumer (batch runs, no loss).
    bool block_when_full = false;
    /// Called for every packet on the pipeline's hand-out thread; must not block long.
    PacketCallback on_packet;
    /// Ends the run at an absent grab once the source reports its end
    /// (`FrameSource::at_end()`: a replay played without loop, a camera whose
    /// pump ended); other absent grabs are timeouts and the run goes on.
    bool stop_at_end = false;
    /// The pipeline opens the source in start() and closes it in stop().
    bool manage_source = true;
    /// What the source reported when the caller opened it (without
    /// `manage_source`); its width and height are needed to decode "YUYV".
    std::optional<CameraInfo> camera_info;
    double grab_timeout_s = 0.5;
    /// Packets carry the rectified colour eyes (as far as their streams are
    /// enabled). Off, the classical back-end never computes colour: the
    /// payload is decoded to grey (smaller when the canvas allows) and
    /// remapped straight into the canvas. The pass-through hands the eyes out
    /// either way, as they are all it produces.
    bool rectified_images = true;
    /// The rectified eyes come at most this many pixels wide (the aspect
    /// kept), remapped at that size straight from the camera image, for a
    /// consumer that shows them smaller (the viewer); 0: whole. Neural
    /// back-ends get their canvas from the eyes, so theirs stay whole.
    int rectified_width = 0;
};

/// Counters since start().
struct PipelineStats {
    std::int64_t frames_grabbed = 0;      ///< frames taken from the source
    std::int64_t frames_emitted = 0;      ///< packets handed out
    std::int64_t frames_undecodable = 0;  ///< skipped: the payload did not decode
    std::int64_t frames_failed = 0;       ///< skipped: the back-end raised
    std::int64_t packets_dropped = 0;     ///< oldest packets dropped from a full queue
    double seconds = 0;                   ///< since start (to the end of the run once it ended)
    double fps = 0;                       ///< packets per second over the last few seconds
};

/// The named arguments of starting a recording.
struct RecordingStartArgs {
    /// The first camera-state snapshot; absent or empty: the provider's current values.
    std::optional<Json> camera_controls;
    /// The camera description written as camera_info.json (`to_dict()` of the camera).
    Json camera_info_payload;
};

/// The recording handle a pipeline drives. The pipeline lives below the
/// library that implements it (RecordingManager), so it sees only this
/// interface; the host builds the controller and hands it over.
class KELVO_API RecordingController {
  public:
    virtual ~RecordingController() = default;
    virtual bool is_running() const = 0;
    virtual bool is_paused() const = 0;
    virtual void pause() = 0;
    virtual void resume() = 0;
    virtual std::optional<RecordingStatus> status() const = 0;
    virtual void start(const std::filesystem::path& path, RecordingStartArgs args) = 0;
    virtual RecordingResult stop() = 0;
    /// Called by the pipeline's worker with each frame it grabs.
    virtual void feed_worker_rate(const FramePtr& raw) = 0;
    virtual void write_calibration_update(const Json& calibration_dict, std::int64_t pts_us) = 0;
};

namespace detail {
struct PipelineState;
}

/// States: created -> running (start) -> finished (the source ended, with
/// `stop_at_end`) -> stopped (stop). The back-end is built by the
/// constructor, so an unknown key, variant or control fails there.
///
/// Threads: start() runs three. The worker ("kelvo-pipeline") grabs,
/// decodes, rectifies and fits the canvas, and submits neural work; the
/// hand-out thread ("kelvo-pipe-out") runs the classical matcher or waits on
/// the engine; the finisher ("kelvo-pipe-fin") runs the post-processing
/// chain, maps results back and emits packets, in frame order. Preparing the
/// next frame, matching this one and finishing the last overlap.
class KELVO_API Pipeline {
  public:
    explicit Pipeline(PipelineOptions options);
    ~Pipeline();  ///< stops
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    /// Opens the source (with `manage_source`) and starts the threads;
    /// RuntimeError when already started.
    void start();
    /// Stops the threads (joining both within 2.0 s; a thread still busy, or
    /// the calling one when called from the packet callback, is left to end
    /// by itself), then closes the source (with `manage_source`). Safe to
    /// call more than once.
    void stop();
    bool is_running() const;
    /// True once the source ended (with `stop_at_end`) and every packet was emitted.
    bool is_finished() const;
    /// Waits until finished; true when it finished within `timeout_s` (negative: forever).
    bool wait_finished(double timeout_s = -1.0) const;

    /// The next packet from the output queue, or null when none arrived within
    /// `timeout_s`, or at once when the run is finished and the queue empty.
    FramePacketPtr get_packet(double timeout_s = 1.0);

    /// Changes a runtime control of the back-end or, for a "post_" name, of
    /// the post-processing chain; takes effect from the next frame computed.
    /// std::invalid_argument for an unknown name, a value the control does
    /// not allow, or a chain stage the back-end cannot feed. Any thread, also
    /// while running.
    void set_inference_control(const std::string& name, int value);
    int inference_control(const std::string& name) const;
    /// The back-end's control descriptors, then the chain's.
    std::vector<IntControl> inference_controls() const;

    /// Streams handed out in packets: "rectified_left", "rectified_right",
    /// "disparity", "depth", "confidence" (all enabled at first). std::invalid_argument for
    /// another name.
    void set_stream_enabled(const std::string& stream, bool enabled);
    bool is_stream_enabled(const std::string& stream) const;
    /// `PipelineOptions::rectified_width` while running: from the next frame
    /// prepared. std::invalid_argument when negative.
    void set_rectified_width(int width);
    int rectified_width() const;

    const std::string& backend_key() const;
    const InferenceVariant& variant() const;
    /// The back-end instance (owned by the pipeline).
    const DepthInferenceBase& backend() const;
    /// Its class's kind: mono back-ends give depth and no disparity.
    InferenceKind backend_kind() const;
    /// The source frames come from.
    const std::shared_ptr<FrameSource>& source() const;
    /// What the source reported when the pipeline opened it (absent before).
    std::optional<CameraInfo> camera_info() const;
    /// For a source the host opens itself (`manage_source` off) after building
    /// the pipeline: what it reported, as `PipelineOptions::camera_info` would
    /// have given it. Takes effect at start().
    void set_camera_info(CameraInfo info);

    PipelineStats stats() const;
    /// The source's (grabbed, dropped) since the previous call.
    std::pair<std::int64_t, std::int64_t> get_pump_stats();

    /// Hands the pipeline its recording controller (replacing one held
    /// before; null removes it). RuntimeError "recording already in progress"
    /// while the held one records.
    void set_recording_controller(std::shared_ptr<RecordingController> controller);
    std::shared_ptr<RecordingController> recording_controller() const;
    /// Starts recording the source's frames to `path`. The camera description
    /// is built from the pipeline's camera information and the source's base
    /// calibration. RuntimeError "no recording controller" without one; the
    /// controller's errors pass through.
    void start_recording(const std::filesystem::path& path,
                         std::optional<Json> camera_controls = std::nullopt);
    void pause_recording();
    void resume_recording();
    /// The controller's result; RuntimeError "not recording" when none runs.
    RecordingResult stop_recording();
    /// Absent without a controller or when it holds no recorder.
    std::optional<RecordingStatus> recording_status() const;
    /// An online re-calibration at `pts_us` of the source's clock, written
    /// into the running recording (nothing happens when none runs).
    void write_calibration_update(const Json& calibration_dict, std::int64_t pts_us);

  private:
    std::shared_ptr<detail::PipelineState> _state;
};

}  // namespace kelvo
