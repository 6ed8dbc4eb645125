// MkvReplay: a recording replayed as a frame source, with the calibration
// and camera-control history it carries.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo {

namespace detail {
struct MkvReplayState;
struct MkvInputOpener;
inline constexpr std::array<const char*, 2> VALID_REPLAY_MODES = {"realtime", "every_frame"};
}  // namespace detail

struct MkvReplayOptions {
    std::string replay_mode = "realtime";  ///< "realtime" or "every_frame"
    bool loop = false;
    bool build_frame_index = true;
    /// Pace of "realtime" mode relative to the recording (see set_playback_rate).
    double playback_rate = 1.0;
};

/// The playback rates a realtime replay accepts.
inline constexpr double MIN_PLAYBACK_RATE = 0.25;
inline constexpr double MAX_PLAYBACK_RATE = 4.0;

/// A recording replayed as a frame source.
///
/// States: constructed (the factory calibration is already loaded) -> open
/// (the container is held; in "realtime" mode the pump thread "kelvo-mkv-pump"
/// paces frames, feeds fan-out callbacks and keeps the newest frame for
/// grab()) -> closed. In "every_frame" mode grab() reads the next frame on the
/// caller's thread and fan-out callbacks are never called. Fan-out callbacks
/// run on the pump thread and must not block. close() may be
/// called from any thread, at any time, more than once; destroying the object
/// closes it.
class KELVO_API MkvReplay final : public FrameSource {
  public:
    /// Throws std::invalid_argument for a replay mode other than "realtime"
    /// or "every_frame".
    explicit MkvReplay(const std::filesystem::path& path, MkvReplayOptions options = {});
    /// Internal: reads the recording through `opener` (the fuzzer replays bytes
    /// from memory); null reads the file system.
    MkvReplay(const std::filesystem::path& path, MkvReplayOptions options,
              std::shared_ptr<const detail::MkvInputOpener> opener);
    ~MkvReplay() override;  ///< closes
    MkvReplay(const MkvReplay&) = delete;
    MkvReplay& operator=(const MkvReplay&) = delete;

    /// Opens the recording (once); errors of the file propagate.
    CameraInfo open() override;
    /// "realtime": the newest frame, waiting at most `timeout` seconds;
    /// "every_frame": the next frame of the file. Null at the end or while paused.
    FramePtr grab(double timeout = 1.0) override;
    void close() override;

    std::pair<std::int64_t, std::int64_t> get_pump_stats() override;
    std::vector<CameraControl> list_camera_controls() override;

    bool is_live() const override { return false; }
    /// True in "realtime" mode.
    bool has_pump() const override;
    /// True at the end of the recording without loop ("every_frame": the
    /// grab that found the end; "realtime": parked at the end) and once the
    /// pump has ended; a seek or step makes it false again.
    bool at_end() const override;
    bool is_seekable() const override { return true; }
    bool is_pausable() const { return true; }
    bool is_paused() const;
    std::string fourcc() const override;
    std::optional<std::string> mode_slug() const override;
    CalibrationPtr base_calibration() const override;
    CalibrationPtr active_calibration() const override;
    std::optional<std::int64_t> t0_monotonic_ns() const override;
    std::int64_t t0_utc_ns() const;
    std::string clock_domain() const;
    std::int64_t duration_us() const;
    std::optional<Json> camera_controls_snapshot() const;

    void pause();
    void resume();
    /// Paces "realtime" mode at `rate` times the recorded speed from the next
    /// frame on (no effect on "every_frame"); std::invalid_argument outside
    /// MIN_PLAYBACK_RATE..MAX_PLAYBACK_RATE. Any thread, any state.
    void set_playback_rate(double rate);
    double playback_rate() const;
    /// Whether the end of the recording starts it over from the first frame
    /// (in place of parking at the end). Any thread, any state; takes effect
    /// at the next end, so a replay already parked at the end stays there.
    void set_loop(bool loop);
    bool loop() const;
    /// Moves to a recording time (microseconds from the start, not an offset).
    void seek_relative_us(std::int64_t pts_us);
    /// Exact one-frame steps through the frame index; the caller usually pauses first.
    void step_one_forward();
    void step_one_backward();
    /// Moves to entry `idx` of the frame index, exactly as the steps do (a
    /// paused replay shows that one frame). RuntimeError "MkvReplay not open"
    /// when not open and without a frame index; std::invalid_argument for an
    /// entry outside the index.
    void seek_to_frame(std::int64_t idx);

    /// The frame index (pts_us of every frame) built at open().
    std::vector<std::int64_t> frame_index() const;
    /// The recorded histories, as (rel_us, payload) pairs.
    std::vector<std::pair<std::int64_t, Json>> calibration_history() const;
    std::vector<std::pair<std::int64_t, Json>> camera_state_history() const;
    /// Attachment file names found at open().
    std::vector<std::string> attachment_names() const;
    /// The parsed camera_info.json attachment (an object), read at construction.
    std::optional<Json> embedded_camera_info() const;
    /// Index of the last emitted frame or step target in the frame index.
    std::optional<std::int64_t> current_frame_idx() const;

    /// Internal: repositions to entry `idx` of the frame index.
    void _seek_to_frame_idx(std::int64_t idx);
    /// Internal test seam: `hook` runs on the pump thread at the points
    /// "end_of_pass", "before_pace" and "before_convert" of every frame. Set before open().
    void _set_pump_hook(std::function<void(std::string_view point)> hook);

  private:
    std::shared_ptr<detail::MkvReplayState> _state;
};

}  // namespace kelvo
