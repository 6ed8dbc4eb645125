// What the viewer shows and drives: one frame source (a recording or a
// camera) run through a pipeline whose back-end can be changed, the packet on
// display encoded for the browser on demand, playback commands, control
// changes, recording and measuring. The HTTP server (viewer_server.hpp) only
// translates requests into calls on this class.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo {

/// What the host does where the viewer meets the file system. Each runs on
/// the thread of the request that asked for it.
struct ViewerHooks {
    /// The file a new recording is written to (the host may hand out a
    /// temporary name and rename it in `recording_finished`).
    std::function<std::filesystem::path()> recording_path;
    /// A recording has stopped; returns what the page shows about it.
    std::function<Json(const RecordingResult&)> recording_finished;
    /// Saves the packet on display (maps and point cloud); returns the files written.
    std::function<Json(const FramePacket&, const std::string& backend_key)> save_frame;
};

struct ViewerSessionOptions {
    /// Opened by start() and closed by stop().
    std::shared_ptr<FrameSource> source;
    std::string backend = "stereo-bm";
    std::string variant;
    std::vector<std::pair<std::string, int>> controls;
    InferenceCreateOptions engine;
    /// Builds each recording's recorder; empty: a plain MkvRecorder.
    RecorderFactory recorder_factory;
    ViewerHooks hooks;
};

/// The images a browser can ask for. The confidence map is grey: 0 (a hole)
/// black up to 255 white.
enum class ViewerPanel { left, right, disparity, depth, confidence };
/// "left", "right", "disparity", "depth" or "confidence"; std::invalid_argument otherwise.
KELVO_API ViewerPanel viewer_panel(const std::string& name);

/// One panel of one packet, encoded once and shared by every client.
struct ViewerImage {
    std::string data;  ///< JPEG for the image panels; a point frame for the 3-D panel
    /// Of the packet it shows (1, 2, ...); a packet shown anew after a display
    /// setting changed (the confidence threshold) gets the next one.
    std::uint64_t generation = 0;
    int width = 0;               ///< the width asked for; 0: the image's own
    std::int64_t packet_ns = 0;  ///< steady clock when the pipeline handed the packet out
};
using ViewerImagePtr = std::shared_ptr<const ViewerImage>;

namespace detail {
struct ViewerSessionState;
}

/// States: created (the first back-end built: bad keys, variants and control
/// values have failed) -> running (start) -> stopped (stop; a recording in
/// progress is finished first).
///
/// Thread-safe: every method may be called from any thread (the server calls
/// them from its request threads). Failures are exceptions:
/// std::invalid_argument for a bad request (unknown name, value out of
/// range, wrong kind of source), RuntimeError for a request the current
/// state does not allow; neither disturbs the pipeline.
class KELVO_API ViewerSession {
  public:
    explicit ViewerSession(ViewerSessionOptions options);
    ~ViewerSession();  ///< stops
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    /// Opens the source and starts the pipeline and the housekeeping thread.
    void start();
    /// Finishes a recording in progress, stops the pipeline and closes the
    /// source. Safe to call more than once. Returns the finished recording's
    /// description (null when none ran).
    Json stop();

    /// What does not change while running: the source (kind, camera, frame
    /// count, duration, calibration-update marks) and the registered back-ends.
    Json describe() const;
    /// The live figures: position, playback, back-end, rates, drops, stage
    /// times, map ranges, confidence threshold, recording status.
    Json state() const;
    /// The back-end's control descriptors with their current values, and the
    /// camera's controls (live sources).
    Json controls() const;

    /// Changes a back-end control (an integer within its range); a paused or
    /// finished replay recomputes the frame on display.
    void set_control(const std::string& name, const Json& value);
    /// Changes a camera control of a live source (within the catalogue's range).
    void set_camera_control(const std::string& name, const Json& value);
    /// Rebuilds the pipeline with another back-end; RuntimeError while recording.
    void select_backend(const std::string& key, const std::string& variant);
    /// {"action": "play" | "pause" | "step_forward" | "step_back" | "seek"
    /// (with "frame") | "rate" (with "rate") | "loop" (with "loop")}; replays only.
    void playback(const Json& command);
    /// "start", "pause", "resume" or "stop"; returns the recording's status.
    Json record(const std::string& action);
    /// Saves the packet on display through the host's hook.
    Json save_frame();
    /// The confidence below which the disparity and depth panels show a map
    /// value as a hole (0 shows every value the back-end gave): an integer
    /// within 0..255, else std::invalid_argument. The packet on display is
    /// encoded again at once, so a paused replay shows the change too.
    void set_confidence_threshold(const Json& value);
    /// Disparity and depth at a pixel of the rectified left image.
    Json probe(cv::Point2d at) const;
    /// The 3-D distance in metres between two pixels of the rectified left
    /// image, from the depth on display and the calibration in force.
    Json measure(cv::Point2d a, cv::Point2d b) const;

    /// The panel of the first packet newer than `after`, waiting at most
    /// `timeout_s`; null on timeout or once stopped. A client that falls
    /// behind skips to the newest packet: nothing queues. A `width` below the
    /// image's own scales the panel down to it (the page asks for the size it
    /// shows, which costs less to encode and send); 0 keeps the full size.
    ViewerImagePtr wait_image(ViewerPanel panel, std::uint64_t after, double timeout_s,
                              int width = 0) const;
    /// The 3-D panel's point frame of the first packet newer than `after`,
    /// as wait_image waits and skips: the depth map sampled every `step`
    /// frame pixels so that at most about `width` points lie across (0: every
    /// pixel), each point's depth and colour, and the rectified left camera
    /// (from the calibration in force) that turns them into 3-D points: the
    /// browser does that arithmetic, so a point costs 5 bytes. Little-endian:
    ///
    ///     0  "KVP1"            4  u32 bytes in all (this header included)
    ///     8  i64 frame index (-1: none)   16 u64 generation
    ///    24  u16 columns      26  u16 rows     28 u16 step    30 u16 flags
    ///    32  f32 fx, fy, cx, cy (frame pixels)
    ///    48  f32 metres per depth unit     52 f32 nearest, 56 f32 farthest depth
    ///    60  u32 points with a depth
    ///    64  u16 depth[rows][columns] (0: none), then u8 rgb[rows][columns][3]
    ///
    /// The point of column i, row j is frame pixel (i * step, j * step), the
    /// pixel that /api/measure takes for it. Flags: 1, the back-end gave a
    /// confidence map (values trusted less than the confidence threshold are
    /// left out, as on the map panels); 2, the frame has a depth map and a
    /// calibration (without, there are no points).
    ViewerImagePtr wait_points(std::uint64_t after, double timeout_s, int width = 0) const;
    /// While the returned handle lives, a client shows `panel` `width`
    /// pixels wide (0: whole). The pipeline makes the colour eyes only as
    /// wide as the widest client of an eye panel shows them (a paused or
    /// finished replay recomputes its frame when that changes); without such
    /// a client they stay as they were. Null for the map panels, which are
    /// coloured at each client's size.
    [[nodiscard]] std::shared_ptr<const void> watch(ViewerPanel panel, int width);
    bool is_running() const;

  private:
    std::shared_ptr<detail::ViewerSessionState> _state;
};

}  // namespace kelvo
