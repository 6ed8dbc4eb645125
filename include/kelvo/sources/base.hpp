// The frame-source base: what every source (replay, live camera, test double)
// offers the pipeline and the recording controller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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
#include "kelvo/sources/types.hpp"

namespace spdlog {
class logger;
}

namespace kelvo {

/// Fan-out callbacks are held by pointer: identity is the pointer, so adding
/// one twice calls it twice, and removal takes the first equal pointer.
using FrameCallback = std::function<void(const FramePtr&)>;
using FrameCallbackPtr = std::shared_ptr<const FrameCallback>;

inline FrameCallbackPtr make_frame_callback(FrameCallback fn) {
    return std::make_shared<const FrameCallback>(std::move(fn));
}

class KELVO_API FrameSource {
  public:
    virtual ~FrameSource();

    virtual CameraInfo open() = 0;
    /// The next frame, or null when none arrived within `timeout` seconds.
    virtual FramePtr grab(double timeout = 1.0) = 0;
    virtual void close() = 0;

    virtual void add_fanout(FrameCallbackPtr cb);
    virtual void remove_fanout(const FrameCallbackPtr& cb);
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

  protected:
    /// Calls every registered callback with `frame`, in registration order, on
    /// the calling (pump) thread, outside the lock; a callback that raises is
    /// logged "fanout callback raised (non-fatal)" and the next one runs.
    void _dispatch_fanout(const FramePtr& frame, spdlog::logger& logger);
    /// The calling loop of `_dispatch_fanout` over a snapshot of the list, for
    /// pumps that take their snapshot elsewhere.
    static void _call_fanout(const std::vector<FrameCallbackPtr>& callbacks, const FramePtr& frame,
                             spdlog::logger& logger);

    std::mutex _fanout_lock;
    std::vector<FrameCallbackPtr> _fanout;  ///< guarded by `_fanout_lock`
};

/// Decodes a payload: an image decode for "MJPG" (and any unknown format),
/// packed YUYV 4:2:2 for "YUYV". Raises RuntimeError when it does not decode.
KELVO_API cv::Mat decode_to_bgr(std::string_view fourcc, std::span<const std::uint8_t> payload,
                                int width, int height);

}  // namespace kelvo
