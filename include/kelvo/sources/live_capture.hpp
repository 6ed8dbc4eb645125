// LiveCapture: the frame source of an attached camera, read through the
// FFmpeg device input that the platform back-end names.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/cameras.hpp"
#include "kelvo/event.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/platform.hpp"
#include "kelvo/sources/base.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/worker_thread.hpp"

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
    /// Replaces the camera's own calibration for this source's lifetime
    /// (base and active calibration, and the camera description a recording
    /// stores); null keeps the camera's.
    CalibrationPtr calibration;
};

/// States: closed (constructed, or after close() or a failed open()) ->
/// opening -> open (input, stream, effective fourcc, optional control handle,
/// camera description, pump running) -> closing -> closed -> open again ...
/// A failed open() releases whatever it had acquired and leaves the source
/// closed. open() waits for a close() in progress; close() waits for an
/// open() in progress and returns at once while another close() runs.
///
/// The pump thread ("kelvo-camera-pump") reads packets as fast as the camera
/// delivers them, stamps them relative to the first packet, hands each frame
/// to the fan-out callbacks and then to a drop-to-latest slot that grab()
/// empties. close() interrupts a blocking read and waits for the pump at most
/// 2.0 s; a pump that outlives it keeps its own state (and the input) alive.
/// close() called on the pump thread (from a fan-out callback) does not wait.
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

    CameraInfo open() override KELVO_EXCLUDES(_state_mutex);
    /// The newest frame, waiting up to `timeout` seconds when there is none;
    /// null when nothing arrived. Raises "LiveCapture not open" when closed.
    FramePtr grab(double timeout = 1.0) override KELVO_EXCLUDES(_state_mutex);
    /// Safe at any time, more than once, from any thread, also from a fan-out
    /// callback (it then returns without waiting for the pump).
    void close() override KELVO_EXCLUDES(_state_mutex);

    /// True: the pump hands every frame to the fan-out callbacks.
    bool has_pump() const override { return true; }
    /// True once the pump has ended by itself (end of stream, a demux error)
    /// while the source is open; grab() then only times out.
    bool at_end() const override KELVO_EXCLUDES(_state_mutex);
    std::pair<std::int64_t, std::int64_t> get_pump_stats() override;
    /// The catalogue's controls for this platform with current values read
    /// from the control handle; empty without a handle or a known SKU.
    std::vector<CameraControl> list_camera_controls() override KELVO_EXCLUDES(_state_mutex);

    const std::string& os_id() const { return _os_id; }
    const CaptureMode& mode() const { return _mode; }
    std::optional<std::string> mode_slug() const override { return _mode.slug(); }
    /// The control handle; null before open() or when it could not be opened.
    std::shared_ptr<CameraControls> camera_controls() const KELVO_EXCLUDES(_state_mutex);
    const KelvoCameraInfo& camera_info() const { return _camera_info; }
    CalibrationPtr base_calibration() const override { return _camera_info.base_calibration; }
    CalibrationPtr active_calibration() const override { return base_calibration(); }
    bool is_live() const override { return true; }
    bool is_seekable() const override { return false; }
    std::optional<std::int64_t> t0_monotonic_ns() const override;
    /// What the payloads hold: the effective fourcc once open() has found it,
    /// before that the requested mode's fourcc in upper case.
    std::string fourcc() const override KELVO_EXCLUDES(_state_mutex);

  private:
    enum class Phase { closed, opening, open, closing };
    struct Opening;

    /// open()'s work on the device, outside the state lock; what it returns
    /// owns everything it acquired, so a failure releases it all.
    Opening _open_device() const;
    /// Pump thread body; runs until `stop`, end of stream or an error.
    static void _pump_loop(detail::LiveCaptureShared& shared, detail::LivePumpRun& run,
                           const FanoutList& fanout, const Event& stop);

    // Constant after construction.
    const KelvoCameraInfo _camera_info;
    const std::string _os_id;
    const CaptureMode _mode;
    const std::shared_ptr<PlatformBackend> _backend;
    /// Shared with the pump threads: slot and counters, anchor, sequence.
    const std::shared_ptr<detail::LiveCaptureShared> _shared;
    const std::vector<std::pair<std::string, double>> _initial_controls;

    /// Runs the pump; thread-safe by itself, never locked under `_state_mutex`
    /// except to start it (so the lock order is `_state_mutex`, then its own).
    WorkerThread _pump;

    // Guarded by `_state_mutex`; `_phase_cv` signals the end of an opening or
    // a closing. The lock is held for assignments only: the device, the
    // back-end, the control handle and the logger are used outside it.
    mutable Mutex _state_mutex;
    CondVar _phase_cv;
    Phase _phase KELVO_GUARDED_BY(_state_mutex) = Phase::closed;
    /// Input, stream and pump flags of the current opening.
    std::shared_ptr<detail::LivePumpRun> _run KELVO_GUARDED_BY(_state_mutex);
    std::shared_ptr<CameraControls> _controls KELVO_GUARDED_BY(_state_mutex);
    std::optional<CameraInfo> _info KELVO_GUARDED_BY(_state_mutex);
    std::optional<std::string> _effective_fourcc KELVO_GUARDED_BY(_state_mutex);
};

/// A source from a value of any kind: a KelvoCameraInfo (or a shared pointer
/// to one) or a camera_info.json record (kelvo::Json); anything else raises
/// TypeError.
KELVO_API std::unique_ptr<LiveCapture> make_live_capture(const std::any& camera_info,
                                                         LiveCaptureOptions options = {});

}  // namespace kelvo
