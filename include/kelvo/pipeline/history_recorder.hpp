// Recording a replay: the copy keeps the source's history. The recording
// controller builds its recorder through the factory made here, which writes
// the source's own camera_info.json (not one rebuilt from the replay's
// camera description) and, in front of each frame, the calibration updates
// and camera-state snapshots that took effect since the frame before, at
// that frame's time; so a replay of the copy has, frame for frame, the
// calibration and control values the source had. Used alike by `kelvo
// depth --record`, the viewer and hosts of the kit.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/pipeline/recording_manager.hpp"

namespace kelvo {

class MkvReplay;

/// What a recording of `replay` copies from it; read once, before the run.
struct ReplayHistory {
    std::optional<Json> camera_info;  ///< camera_info.json as the source holds it
    std::vector<std::pair<std::int64_t, Json>> calibration;
    std::vector<std::pair<std::int64_t, Json>> camera_state;
    /// In force before the first update; null without a calibration.
    Json base_calibration;
    double fps = 30.0;
    std::int64_t t0_utc_ns = 0;
    /// Frames come from the pipeline's worker (an "every_frame" replay): a
    /// feed waits while the writer's queue is full, so that nothing is lost
    /// to a slow disk. Otherwise they come from a realtime pump, which must
    /// never wait: a frame the writer has no room for is dropped and counted.
    bool wait_when_full = true;

    /// `fps`: the replay's frame rate (30 when not positive).
    KELVO_API static ReplayHistory of(const MkvReplay& replay, double fps);
};

/// A recorder factory for RecordingManagerOptions::recorder_factory.
KELVO_API RecorderFactory history_recorder_factory(ReplayHistory history);

/// The recorder it builds. `feed` is called from one thread at a time, frames
/// in time order.
class KELVO_API HistoryRecorder final : public MkvRecorder {
  public:
    HistoryRecorder(MkvRecorderOptions options, ReplayHistory history);
    void feed(const FramePtr& frame) override;

  private:
    /// Writes the entries of `history` that take effect at `pts_us`, starting
    /// at `next`; after a jump back with none in force there, `base` (when given).
    template <typename Write>
    void write_due(const std::vector<std::pair<std::int64_t, Json>>& history, std::size_t& next,
                   std::int64_t pts_us, const Json* base, Write write);
    void write_history(std::int64_t pts_us, bool went_back);

    // Constant after construction.
    const ReplayHistory _history;

    // The feeding thread only.
    bool _first = true;
    std::size_t _next_calibration = 0;
    std::size_t _next_camera_state = 0;
    std::optional<std::int64_t> _last_pts;
};

}  // namespace kelvo
