// The frame-source base: what every source (replay, live camera, test double)
// offers the pipeline and the recording controller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/export.hpp"
#include "kelvo/sources/fanout_list.hpp"
#include "kelvo/sources/types.hpp"

namespace spdlog {
class logger;
}

namespace kelvo {

class KELVO_API FrameSource {
  public:
    virtual ~FrameSource();

    virtual CameraInfo open() = 0;
    /// The next frame, or null when none arrived within `timeout` seconds.
    virtual FramePtr grab(double timeout = 1.0) = 0;
    virtual void close() = 0;

    /// std::invalid_argument for a null callback.
    virtual void add_fanout(FrameCallbackPtr cb);
    virtual void remove_fanout(const FrameCallbackPtr& cb);
    /// True when a pump thread hands every frame to the fan-out callbacks
    /// (a live camera, a replay in "realtime" mode); false when frames exist
    /// only as grab() returns them.
    virtual bool has_pump() const { return false; }
    /// True once the source has no more frames to deliver (the end of a
    /// recording played without loop, a pump that ended); grab() then
    /// returns null. A seek on a replay makes it false again.
    virtual bool at_end() const { return false; }
    /// (grabbed, dropped) since the previous call; (1, 0) for sources without a pump.
    virtual std::pair<std::int64_t, std::int64_t> get_pump_stats();
    virtual std::vector<CameraControl> list_camera_controls() = 0;

    virtual bool is_live() const = 0;
    virtual bool is_seekable() const = 0;
    virtual std::string fourcc() const;
    virtual std::optional<std::string> mode_slug() const = 0;
    virtual CalibrationPtr base_calibration() const = 0;
    virtual CalibrationPtr active_calibration() const = 0;
    virtual std::optional<std::int64_t> t0_monotonic_ns() const = 0;

    /// Decodes a payload of this source's `fourcc()` into a BGR image.
    cv::Mat decode_to_bgr(std::span<const std::uint8_t> payload, int width, int height) const;
    /// Decodes a payload of this source's `fourcc()` into a grey image (see kelvo::decode_to_grey).
    cv::Mat decode_to_grey(std::span<const std::uint8_t> payload, int width, int height,
                           int reduction = 1) const;

  protected:
    /// Calls every registered callback with `frame` on the calling (pump)
    /// thread (FanoutList::dispatch).
    void _dispatch_fanout(const FramePtr& frame, spdlog::logger& logger) const;

    /// Shared with the pumps, which may outlive the source; emptied when the
    /// source is destroyed, so a pump left running calls nobody after that.
    const std::shared_ptr<FanoutList> _fanout = std::make_shared<FanoutList>();
};

/// Decodes a payload: an image decode for "MJPG" (and any unknown format),
/// packed YUYV 4:2:2 for "YUYV". Raises RuntimeError when it does not decode.
KELVO_API cv::Mat decode_to_bgr(std::string_view fourcc, std::span<const std::uint8_t> payload,
                                int width, int height);
/// Decodes a payload into a CV_8UC1 grey image without computing colour: a
/// JPEG's luminance (decoded `reduction` = 1, 2, 4 or 8 times smaller in each
/// direction by libjpeg's scaled decoding, rounding up), packed YUYV's Y
/// plane stretched to full range (always full size). The same checks and
/// errors as decode_to_bgr; std::invalid_argument for another reduction.
KELVO_API cv::Mat decode_to_grey(std::string_view fourcc, std::span<const std::uint8_t> payload,
                                 int width, int height, int reduction = 1);

}  // namespace kelvo
