// MkvReplay: a recording replayed as a frame source, with the calibration
// and camera-control history it carries.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo {

namespace detail {
struct MkvReplayState;
inline constexpr std::array<const char*, 2> VALID_REPLAY_MODES = {"realtime", "every_frame"};
}  // namespace detail

struct MkvReplayOptions {
    std::string replay_mode = "realtime";  ///< "realtime" or "every_frame"
    bool loop = false;
    bool build_frame_index = true;
};

class KELVO_API MkvReplay final : public FrameSource {
public:
    explicit MkvReplay(const std::filesystem::path& path, MkvReplayOptions options = {});
    ~MkvReplay() override;  ///< closes
    MkvReplay(const MkvReplay&) = delete;
    MkvReplay& operator=(const MkvReplay&) = delete;

    CameraInfo open() override;
    FramePtr grab(double timeout = 1.0) override;
    void close() override;

    void add_fanout(FrameCallbackPtr cb) override;
    void remove_fanout(const FrameCallbackPtr& cb) override;
    std::pair<std::int64_t, std::int64_t> get_pump_stats() override;
    std::vector<CameraControl> list_camera_controls() override;

    bool is_live() const override { return false; }
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
    /// Moves to a recording time (microseconds from the start).
    void seek_relative_us(std::int64_t pts_us);
    void step_one_forward();
    void step_one_backward();

    /// The frame index (pts_us of every frame) built at open().
    std::vector<std::int64_t> frame_index() const;
    /// The recorded histories, as (rel_us, payload) pairs.
    std::vector<std::pair<std::int64_t, Json>> calibration_history() const;
    std::vector<std::pair<std::int64_t, Json>> camera_state_history() const;
    /// Attachment file names found at open().
    std::vector<std::string> attachment_names() const;

private:
    std::shared_ptr<detail::MkvReplayState> _state;
};

}  // namespace kelvo
