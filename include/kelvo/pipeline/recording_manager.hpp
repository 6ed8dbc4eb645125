// RecordingManager: the per-pipeline recording handle. Starts, pauses,
// resumes and stops recordings of the pipeline's source, routes frames to the
// recorder and forwards online calibration updates into the recording.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/sources/base.hpp"
#include "kelvo/sources/types.hpp"

namespace kelvo {

/// Builds the recorder of one recording from its options.
using RecorderFactory = std::function<std::shared_ptr<MkvRecorder>(MkvRecorderOptions)>;

struct RecordingManagerOptions {
    std::shared_ptr<FrameSource> source;  ///< the pipeline's source
    /// The pipeline's current camera information; absent before the pipeline started.
    std::function<std::optional<CameraInfo>()> info_provider;
    /// The camera's current control values.
    std::function<Json()> camera_controls_provider;
    /// Builds each recording's recorder; when empty, a real MkvRecorder.
    RecorderFactory recorder_factory;
};

// RecordingStartArgs (the named arguments of `start`) is declared with the pipeline.

namespace detail {
struct RecordingManagerCore;
}

/// States (the controller keeps no flag of its own; it asks the recorder):
///   idle      - no recorder held; is_running false
///   recording - recorder held and running; frames reach it
///   paused    - recorder held, paused; no frames reach it, the file stays open
/// idle -> recording by start(); recording <-> paused by pause()/resume();
/// recording or paused -> idle by stop(). A recorder that stops by itself
/// (a write error) makes is_running false while still held.
///
/// Threads: `_on_pump_frame` runs on the source's pump thread,
/// `feed_worker_rate` and `write_calibration_update` on the pipeline's worker,
/// the rest on the caller's thread. The controller holds no lock while it
/// calls the recorder or the source: each frame path copies the recorder
/// reference once (a shared pointer), so a concurrent stop() cannot pull the
/// recorder from under it.
///
/// Of a realtime replay, which is not live but runs a pump, both paths offer
/// every frame; the recorder keeps each frame once (it ignores a frame whose
/// sequence it has already accepted).
class KELVO_API RecordingManager : public RecordingController {
  public:
    explicit RecordingManager(RecordingManagerOptions options);
    /// Stops a running recording (finishing its file) and unregisters from the source.
    ~RecordingManager() override;
    RecordingManager(const RecordingManager&) = delete;
    RecordingManager& operator=(const RecordingManager&) = delete;

    bool is_running() const override;
    bool is_paused() const override;
    /// Stop writing frames while keeping the recording open.
    void pause() override;
    /// Resume writing frames into the same recording.
    void resume() override;
    /// The recorder's status; absent when no recorder is held.
    std::optional<RecordingStatus> status() const override;

    /// RuntimeError "recording already in progress" while recording, and
    /// "pipeline.start() must be called first" without camera information.
    void start(const std::filesystem::path& path, RecordingStartArgs args) override;
    /// The recorder's result; RuntimeError "not recording" when not running.
    RecordingResult stop() override;

    /// Called by the pipeline's worker with each frame it processes; feeds
    /// only sources that are not live (a live pump feeds by itself).
    void feed_worker_rate(const FramePtr& raw) override;
    /// One online re-calibration at `pts_us` of the source's clock; nothing
    /// happens when no recording runs.
    void write_calibration_update(const Json& calibration_dict, std::int64_t pts_us) override;

    /// The fan-out callback: runs on the source's pump thread for every frame.
    void _on_pump_frame(const FramePtr& raw);

  private:
    // Constant after construction.
    std::shared_ptr<FrameSource> _source;
    std::function<std::optional<CameraInfo>()> _info_provider;
    std::function<Json()> _camera_controls_provider;
    RecorderFactory _recorder_factory;
    /// Holds `_recorder`; shared with the registered callback.
    std::shared_ptr<detail::RecordingManagerCore> _core;
    /// `_on_pump_frame` as registered with the source; the same pointer is removed.
    FrameCallbackPtr _pump_callback;
};

}  // namespace kelvo
