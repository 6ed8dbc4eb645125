// A batch run over a recording, shared by `kelvo depth` and `kelvo export`:
// the recording replayed frame by frame through the frame range, a pipeline
// with the chosen back-end, optionally a recording of the frames processed,
// progress on the console and a clean stop on Ctrl-C.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "frame_range.hpp"
#include "interrupt.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/safe_output.hpp"
#include "options.hpp"
#include "probe.hpp"

namespace kelvo::cli {

struct BatchOutcome {
    std::int64_t frames = 0;  ///< packets handed to the consumer
    double seconds = 0;
    bool interrupted = false;
    PipelineStats stats;
    std::optional<RecordingResult> recording;  ///< with its final path
};

/// Adds what a run did to its run.json: frame counts, time, interruption.
void add_outcome(Json& run, const BatchOutcome& outcome);

/// States: built (the recording open, the range resolved, the back-end
/// built: every bad argument has failed by now, before any file is written)
/// -> running (run()) -> done. Destroyed early (an error), it stops the
/// pipeline, finishes the recording and removes its partial file.
class BatchRun {
  public:
    /// `rectified_images`: the packets carry the rectified colour eyes (the
    /// pass-through's always do); without them the matcher's input is cheaper.
    BatchRun(std::string command, const std::filesystem::path& recording,
             const BackendArgs& backend, const RangeArgs& range, bool rectified_images = false);
    ~BatchRun();
    BatchRun(const BatchRun&) = delete;
    BatchRun& operator=(const BatchRun&) = delete;

    /// Also records the frames the run processes to `path` (written under a
    /// partial name, renamed when complete), keeping the source's history.
    void record_to(const std::filesystem::path& path);

    /// Runs to the end of the range, or until interrupted (the frames already
    /// in the pipeline are finished), handing every packet to `consume` on
    /// this thread in frame order.
    BatchOutcome run(const std::function<void(const FramePacket&)>& consume);

    /// Why no frame came out, as one line.
    std::string no_frame_reason(const BatchOutcome& outcome) const;

    Pipeline& pipeline() { return *_pipeline; }
    RangedReplay& source() { return *_source; }
    MkvReplay& replay() { return *_replay; }
    const CameraInfo& camera_info() const { return _info; }
    /// True for a monocular back-end (depth, no disparity).
    bool mono() const;
    /// True when the back-end's depth is in metres.
    bool metric_depth() const;

  private:
    std::string _command;
    std::filesystem::path _recording;
    std::optional<PendingFile> _record_file;  // outlives the recorder, which writes it
    std::shared_ptr<MkvReplay> _replay;
    std::shared_ptr<RangedReplay> _source;
    CameraInfo _info;
    std::optional<VideoCodec> _codec;
    std::shared_ptr<RecordingManager> _manager;
    std::unique_ptr<Pipeline> _pipeline;
};

}  // namespace kelvo::cli
