// Connected cameras: discovery of attached Kelvo cameras and the resolved
// identity (KelvoCameraInfo) that a live source requires.
//
// A device is a Kelvo camera when its USB product string is a product code
// of a catalogue entry loaded in the process (link kelvo_fenwa, which brings
// both families). Devices that cannot be resolved to a product code are left
// out: capture modes, controls and calibration must be known before a source
// touches the device.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvo/calibration.hpp"
#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/platform.hpp"

namespace kelvo {

/// A connected camera as discovery resolves it.
struct KELVO_API KelvoCameraInfo {
    std::string os_id;  ///< back-end device path or name ("/dev/video0")
    std::string sku;    ///< product code; may be empty for identities from elsewhere
    std::shared_ptr<const CameraSpec> spec;  ///< `spec_by_sku(sku)`; null when not in the catalogue
    std::string model_name;                  ///< may be empty
    std::string serial;                      ///< may be empty
    /// Factory calibration; null when none is known (the device does not
    /// report it through the camera stack, so discovery leaves it null and
    /// the host supplies it, e.g. through from_dict).
    CalibrationPtr base_calibration;

    /// {"os_id", "sku", "model_name", "serial", "base_calibration"}; the
    /// calibration in its dictionary form, or null. This is a recording's
    /// camera_info.json.
    Json to_dict() const;
    /// Builds one back. Raises TypeError when `dict` is not an object,
    /// std::invalid_argument when a field has the wrong type, "os_id" is
    /// missing, or the calibration is malformed. Its CameraSpec is looked up by SKU.
    static KelvoCameraInfo from_dict(const Json& dict);
};

/// Every attached Kelvo camera, in device order.
KELVO_API std::vector<KelvoCameraInfo> list_connected_kelvo_cameras();

/// The attached camera with this serial, or absent.
KELVO_API std::optional<KelvoCameraInfo> get_connected_kelvo_camera_by_serial(
    const std::string& serial);

namespace detail {

/// Where discovery looks, so it can run over a prepared sysfs tree.
struct DiscoverySource {
    V4l2Paths paths;
    /// Whether a device node captures video; null asks the driver (VIDIOC_QUERYCAP).
    std::function<bool(const std::string& device_path)> is_capture_device;
};

KELVO_API std::vector<KelvoCameraInfo> list_kelvo_cameras(const DiscoverySource& source);

/// True when the V4L2 device at `device_path` offers single-planar video capture.
KELVO_API bool v4l2_is_capture_device(const std::string& device_path);

}  // namespace detail
}  // namespace kelvo
