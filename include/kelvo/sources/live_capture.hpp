// LiveCapture: the frame source of an attached camera, read through the
// FFmpeg device input that the platform back-end names.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelvo/cameras.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/platform.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo {

namespace detail {
struct LiveCaptureShared;
struct LivePumpRun;

/// Packet time in nanoseconds: pts x num x 1e9 floor-divided by den, exactly
/// (128-bit intermediate, so device clocks of any uptime do not overflow).
KELVO_API std::int64_t packet_time_ns(std::int64_t pts, int num, int den);
/// Microseconds from the anchor, floor-divided (-1 ns is -1 us).
KELVO_API std::int64_t relative_pts_us(std::int64_t time_ns, std::int64_t anchor_ns);
}  // namespace detail

struct LiveCaptureOptions {
    /// The capture mode; absent means the camera specification's default mode.
    std::optional<CaptureMode> mode;
    /// Control values applied once by open(), right after the control handle
    /// opens, in this order; each failure is logged and skipped.
    std::vector<std::pair<std::string, double>> initial_controls;
};

/// States: constructed (no device) -> open (input, stream, effective fourcc,
/// optional control handle, camera description, pump running) -> closed
/// (input and control handle released, pump stopped) -> open again ...
///
/// The pump thread ("kelvo-camera-pump") reads packets as fast as the camera
/// delivers them, stamps them relative to the first packet, hands each frame
/// to the fan-out callbacks and then to a drop-to-latest slot that grab()
/// empties. close() interrupts a blocking read and waits for the pump at most
/// 2.0 s; a pump that outlives it keeps its own state (and the input) alive.
class KELVO_API LiveCapture final : public FrameSource {
  public:
    /// Records the identity and the mode; touches no device. Raises
    /// std::invalid_argument when the camera has no catalogue specification.
    explicit LiveCapture(KelvoCameraInfo camera_info, LiveCaptureOptions options = {});
    /// A source from a camera_info.json record (KelvoCameraInfo::to_dict()).
    /// Any other JSON value raises TypeError.
    static std::unique_ptr<LiveCapture> from_record(const Json& camera_info,
                                                    LiveCaptureOptions options = {});
    ~LiveCapture() override;  ///< closes
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    CameraInfo open() override;
    /// The newest frame, waiting up to `timeout` seconds when there is none;
    /// null when nothing arrived. Raises "LiveCapture not open" when closed.
    FramePtr grab(double timeout = 1.0) override;
    /// Safe at any time, more than once, from any thread.
    void close() override;

    std::pair<std::int64_t, std::int64_t> get_pump_stats() override;
    /// The catalogue's controls for this platform with current values read
    /// from the control handle; empty without a handle or a known SKU.
    std::vector<CameraControl> list_camera_controls() override;

    const std::string& os_id() const { return _os_id; }
    const CaptureMode& mode() const { return _mode; }
    std::optional<std::string> mode_slug() const override { return _mode.slug(); }
    /// The control handle; null before open() or when it could not be opened.
    std::shared_ptr<CameraControls> camera_controls() const;
    const KelvoCameraInfo& camera_info() const { return _camera_info; }
    CalibrationPtr base_calibration() const override { return _camera_info.base_calibration; }
    CalibrationPtr active_calibration() const override { return base_calibration(); }
    bool is_live() const override { return true; }
    bool has_pump() const override { return true; }
    bool is_seekable() const override { return false; }
    std::optional<std::int64_t> t0_monotonic_ns() const override;
    /// What the payloads hold: the effective fourcc once open() has found it,
    /// before that the requested mode's fourcc in upper case.
    std::string fourcc() const override;

  private:
    // Pump thread body; runs until the stop flag, end of stream or an error.
    static void _pump_loop(std::shared_ptr<detail::LiveCaptureShared> shared,
                           std::shared_ptr<detail::LivePumpRun> run);

    // Constant after construction.
    const KelvoCameraInfo _camera_info;
    const std::string _os_id;
    const CaptureMode _mode;
    const std::shared_ptr<PlatformBackend> _backend;
    // Shared with the pump threads: slot, counters, anchor, sequence.
    const std::shared_ptr<detail::LiveCaptureShared> _shared;
    const std::vector<std::pair<std::string, double>> _initial_controls;

    // Guarded by `_state_mutex` (open/close/grab and property readers).
    mutable std::mutex _state_mutex;
    std::shared_ptr<detail::LivePumpRun> _run;  ///< input, stream and pump of the current opening
    std::thread _pump_thread;
    bool _has_stream = false;
    std::shared_ptr<CameraControls> _controls;
    std::optional<CameraInfo> _info;
    std::optional<std::string> _effective_fourcc;
};

/// A source from a value of any kind: a KelvoCameraInfo (or a shared pointer
/// to one) or a camera_info.json record (kelvo::Json); anything else raises
/// TypeError.
KELVO_API std::unique_ptr<LiveCapture> make_live_capture(const std::any& camera_info,
                                                         LiveCaptureOptions options = {});

}  // namespace kelvo
