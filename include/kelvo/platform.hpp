// The platform back-end in force for the process, and the Linux (V4L2)
// back-end. macOS and Windows back-ends implement the same interface
// (platform/base.hpp) and are installed with set_current_backend().
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/platform/base.hpp"

namespace kelvo {

/// The back-end of the running platform, or the one the host installed.
/// Raises RuntimeError on a platform without a built-in back-end when none
/// was installed.
KELVO_API std::shared_ptr<PlatformBackend> current_backend();

/// Installs a back-end for every source constructed afterwards (sources keep
/// the one they were built with). Null restores the platform's own.
KELVO_API void set_current_backend(std::shared_ptr<PlatformBackend> backend);

/// Identity of the USB device behind a video node, as sysfs reports it.
struct UsbIdentity {
    std::string vendor_id;   ///< "idVendor", four hex digits
    std::string product_id;  ///< "idProduct"
    std::string serial;      ///< empty when the device has no serial string
    std::string product;
    std::string manufacturer;
};

/// Where the V4L2 back-end and discovery look for devices.
struct V4l2Paths {
    std::string sysfs_class_dir = "/sys/class/video4linux";
    std::string dev_dir = "/dev";
};

/// The USB device behind video node `node` ("video0") under `sysfs_class_dir`,
/// or absent when the node is not a USB device (or does not exist).
KELVO_API std::optional<UsbIdentity> usb_identity_of(const std::string& sysfs_class_dir,
                                                     const std::string& node);

/// Linux: FFmpeg's "video4linux2" input with the mode's pixel format, size and
/// rate named, kernel monotonic timestamps, non-blocking reads (so a stalled
/// camera never pins the pump), and controls through V4L2 ioctls.
class KELVO_API V4l2Backend : public PlatformBackend {
  public:
    explicit V4l2Backend(V4l2Paths paths = {});

    AvOpenArgs av_open_args(const std::string& os_id, const CaptureMode& mode) const override;
    std::string detect_fourcc(const std::string& requested,
                              const StreamCodecParameters& codec) const override;
    std::unique_ptr<CameraControls> open_controls(const std::string& os_id,
                                                  const std::string& serial) override;
    std::vector<std::uint8_t> trim_payload(std::vector<std::uint8_t> data, int width,
                                           int height) const override;
    std::string clock_domain() const override { return "linux_monotonic"; }

    const V4l2Paths& paths() const { return _paths; }

  private:
    V4l2Paths _paths;
};

namespace detail {

/// The V4L2 control id of a canonical control name, absent for unknown names.
KELVO_API std::optional<std::uint32_t> v4l2_control_id(const std::string& name);

/// Length of the JPEG image at the start of `data` up to and including its
/// end-of-image marker; absent when `data` does not hold a complete JPEG.
/// Markers inside segments (an EXIF thumbnail) and stale bytes after the
/// image are not mistaken for the end.
KELVO_API std::optional<std::size_t> jpeg_image_length(std::span<const std::uint8_t> data);

/// FFmpeg's frame-rate text for a mode's rate: "30", "7.5", "30000/1001".
KELVO_API std::string frame_rate_text(double fps);

}  // namespace detail
}  // namespace kelvo
