// The private state of a viewer session, shared by its parts: state and
// commands (viewer_session.cpp), recording (viewer_recording.cpp), the image
// streams (viewer_images.cpp) and measuring (viewer_measure.cpp).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/log.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/viewer/viewer_session.hpp"
#include "kelvo/worker_thread.hpp"

namespace kelvo::detail {

/// A command that changes the pipeline or its recording. One runs at a time
/// and it runs outside `control_mutex` (it may call host hooks and wait for
/// a recording to finish); any other such command meanwhile is refused.
enum class ViewerTask { none, session, backend, record_start, record_control };

/// The panels of ViewerPanel, each with its encoding slot, and the 3-D
/// panel's point frames in the slot after them.
inline constexpr std::size_t PANEL_COUNT = 5;
inline constexpr std::size_t POINTS_SLOT = PANEL_COUNT;
inline constexpr std::size_t SLOT_COUNT = PANEL_COUNT + 1;
/// The confidence maps go up to.
inline constexpr int MAX_CONFIDENCE = 255;

/// Why a command is refused while `busy` runs.
const char* busy_message(ViewerTask busy);

/// The size of the packet's eyes in frame pixels, which probes and measures
/// take: the maps', as the colour eyes may have been made smaller for display.
cv::Size frame_size(const FramePacket& p);

struct ViewerSessionState : std::enable_shared_from_this<ViewerSessionState> {
    // Constant after construction.
    ViewerSessionOptions options;
    std::shared_ptr<FrameSource> source;
    MkvReplay* replay = nullptr;  ///< the source, when it is a recording
    LiveCapture* live = nullptr;  ///< the source, when it is a camera
    std::shared_ptr<spdlog::logger> logger = get_logger("kelvo_camera_sdk.viewer");

    // Lock order where two are held: control_mutex, then the pipeline's own
    // locks (a quick setter such as set_rectified_width); encode_mutex[panel],
    // then shown_mutex. info_mutex is taken alone. No host hook, recorder call
    // or wait for another thread runs under control_mutex or shown_mutex, so
    // state and image requests never queue behind a command.

    // The pipeline and the command in flight. A command copies the pipeline
    // (shared) under the lock and calls it after releasing it.
    mutable Mutex control_mutex;
    CondVar task_done;  ///< `task` went back to none
    std::shared_ptr<Pipeline> pipeline KELVO_GUARDED_BY(control_mutex);
    ViewerTask task KELVO_GUARDED_BY(control_mutex) = ViewerTask::none;
    bool running KELVO_GUARDED_BY(control_mutex) = false;
    Json last_recording KELVO_GUARDED_BY(control_mutex) = nullptr;
    /// The widths the clients of the eye panels show them at.
    std::multiset<int> eye_widths KELVO_GUARDED_BY(control_mutex);

    /// What the source reported at open; the recording controller asks for it.
    mutable Mutex info_mutex;
    std::optional<CameraInfo> info KELVO_GUARDED_BY(info_mutex);

    // The packet on display, its encoded panels and how they are shown. A
    // change of how they are shown shows the same packet under a new
    // generation, so that every stream sends it again.
    mutable Mutex shown_mutex;
    mutable CondVar shown_cv;
    FramePacketPtr shown KELVO_GUARDED_BY(shown_mutex);
    std::uint64_t generation KELVO_GUARDED_BY(shown_mutex) = 0;
    std::int64_t shown_ns KELVO_GUARDED_BY(shown_mutex) = 0;
    bool stopping KELVO_GUARDED_BY(shown_mutex) = false;
    mutable std::array<ViewerImagePtr, SLOT_COUNT> images KELVO_GUARDED_BY(shown_mutex);
    mutable std::array<Json, 2> ranges KELVO_GUARDED_BY(shown_mutex) = {nullptr, nullptr};
    /// Map values trusted less than this are shown as holes (0: none is).
    int confidence_threshold KELVO_GUARDED_BY(shown_mutex) = 0;
    /// One encoder per slot, so clients of one panel share its encoding.
    mutable std::array<Mutex, SLOT_COUNT> encode_mutex;

    // Written by the housekeeping thread, read by anyone.
    std::atomic<double> source_fps{0};
    std::atomic<std::int64_t> source_dropped{0};
    WorkerThread ticker;

    // viewer_session.cpp
    std::optional<CameraInfo> camera_info() const KELVO_EXCLUDES(info_mutex);
    /// The pipeline, copied under the lock.
    std::shared_ptr<Pipeline> current_pipeline() const KELVO_EXCLUDES(control_mutex);
    /// A pipeline on the source with back-end `key`, not started; `recording`
    /// (may be null) is its recording controller.
    std::shared_ptr<Pipeline> build_pipeline(const std::string& key, const std::string& variant,
                                             std::vector<std::pair<std::string, int>> controls,
                                             int rectified_width,
                                             std::shared_ptr<RecordingController> recording);
    MkvReplay& require_replay() const;
    std::int64_t frame_count() const;
    /// Shows frame `idx` of a recording again (after a change that alters
    /// what it computes to, or as a step target).
    void show_frame(std::int64_t idx);
    /// A paused or finished recording recomputes the frame on display.
    void refresh();
    /// Housekeeping: the source's rate and drops, once a second.
    void tick(const Event& stop) KELVO_EXCLUDES(control_mutex);

    // viewer_recording.cpp
    std::shared_ptr<RecordingController> make_recording_controller();
    /// The status as the page shows it; a held recording that stopped by
    /// itself says "failed" and why.
    static Json recording_json(const std::optional<RecordingStatus>& status);
    /// Finishes the recording `pipeline` holds (a failed one is cleared);
    /// null when none is held. Runs the host's hook; call without locks.
    Json finish_recording(Pipeline& pipeline) KELVO_EXCLUDES(control_mutex);
    static Json source_control_values(FrameSource& src);

    // viewer_images.cpp
    /// Runs on the pipeline's hand-out thread: publishes and wakes the streams.
    void on_packet(const FramePacketPtr& packet) KELVO_EXCLUDES(shown_mutex);
    FramePacketPtr shown_packet() const KELVO_EXCLUDES(shown_mutex);
    /// The packet on display; RuntimeError "no frame on display yet" without one.
    FramePacketPtr require_shown() const;
    std::optional<std::int64_t> shown_index() const;
    /// Hands the pipeline the eye width the clients need; true when it changed.
    bool apply_eye_width() KELVO_REQUIRES(control_mutex);
    /// Counts a client of an eye panel in (`joined`) or out; a paused or
    /// finished recording recomputes its frame when the eyes' width changes.
    void count_eye_client(int width, bool joined) KELVO_EXCLUDES(control_mutex);
    /// `threshold`: the confidence threshold in force for generation `gen`.
    ViewerImagePtr encode(ViewerPanel panel, const FramePacketPtr& packet, std::uint64_t gen,
                          std::int64_t packet_ns, int width, int threshold) const
        KELVO_EXCLUDES(shown_mutex);
    /// Makes what slot `slot` shows of a packet: (packet, generation,
    /// packet_ns, threshold) -> the encoding.
    using SlotEncoder =
        std::function<ViewerImagePtr(const FramePacketPtr&, std::uint64_t, std::int64_t, int)>;
    /// The encoding of slot `slot` of the first packet newer than `after`,
    /// shared by the clients asking for the same `width`; made once per
    /// packet and width by `make`.
    ViewerImagePtr wait_encoded(std::size_t slot, std::uint64_t after, double timeout_s, int width,
                                const SlotEncoder& make) const KELVO_EXCLUDES(shown_mutex);
};

/// The 3-D panel's point frame of `packet` (viewer_points.cpp; the layout is
/// ViewerSession::wait_points's): at most about `width` points across (0:
/// one per pixel), values trusted less than `threshold` left out.
std::string encode_point_frame(const FramePacket& packet, std::uint64_t generation, int width,
                               int threshold);

/// The one command slot, held for a scope: taken under `control_mutex`
/// (RuntimeError with the busy command's reason when another holds it) and
/// given back under it, waking a waiting stop. The command itself runs
/// between, without the lock.
class TaskClaim {
  public:
    /// Refuses at once while another command runs; waits at most `wait_s` for it instead when
    /// `wait_s` is above 0.
    TaskClaim(ViewerSessionState& st, ViewerTask task, double wait_s = 0)
        KELVO_EXCLUDES(st.control_mutex);
    ~TaskClaim() KELVO_EXCLUDES(_st.control_mutex);
    TaskClaim(const TaskClaim&) = delete;
    TaskClaim& operator=(const TaskClaim&) = delete;

    /// The pipeline when the claim was taken.
    Pipeline& pipeline() const { return *_pipeline; }
    const std::shared_ptr<Pipeline>& shared_pipeline() const { return _pipeline; }
    bool was_running() const { return _running; }

  private:
    ViewerSessionState& _st;
    std::shared_ptr<Pipeline> _pipeline;
    bool _running = false;
};

}  // namespace kelvo::detail
