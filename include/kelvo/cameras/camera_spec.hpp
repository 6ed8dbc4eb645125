// Immutable records of the camera catalogue and the lookup by product code.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"

namespace kelvo {

/// One capture format of a camera.
struct KELVO_API CaptureMode {
    int width = 0;
    int height = 0;
    double fps = 0.0;
    std::string fourcc;
    bool stereo = false;
    bool is_supported = true;
    bool is_default = false;

    CaptureMode() = default;
    CaptureMode(int width, int height, double fps, std::string fourcc, bool stereo,
                bool is_supported = true, bool is_default = false);

    /// "<width>x<height>@<fps>-<FOURCC>", fps without a trailing ".0": "1280x360@30-MJPG".
    std::string slug() const;
    Json to_json() const;
    bool operator==(const CaptureMode&) const = default;
};

/// One UVC camera control with its range, menu and cascade gates.
struct KELVO_API CameraControl {
    std::string name;
    std::string label;
    std::string kind;        ///< "number", "enum" or "boolean"
    std::string value_type;  ///< "int" or "bool"
    std::optional<std::string> unit;
    std::optional<std::string> auto_companion;
    std::optional<bool> updatable_by_auto;  ///< absent reads as true
    std::optional<std::vector<std::pair<int, std::string>>> enum_values;
    int default_value = 0;
    int min = 0;
    int max = 0;
    int step = 1;
    std::optional<double> current_value;  ///< filled by source listings only

    CameraControl with_current_value(std::optional<double> value) const;
    Json to_json() const;
    bool operator==(const CameraControl&) const = default;
};

using CaptureModeList = std::vector<CaptureMode>;
using CameraControlList = std::vector<CameraControl>;

/// One camera family. The sequences are shared (families with one firmware share them).
struct KELVO_API CameraSpec {
    std::shared_ptr<const std::vector<std::string>> skus;
    std::shared_ptr<const CaptureModeList> modes;
    std::shared_ptr<const CameraControlList> controls;
    std::shared_ptr<const CameraControlList> windows_controls;

    /// The single mode whose `is_default` is true.
    const CaptureMode& default_mode() const;
    /// `windows_controls` on Windows, `controls` elsewhere.
    const CameraControlList& platform_controls() const;
    /// The mode with this slug, if any.
    std::optional<CaptureMode> mode_by_slug(const std::string& slug) const;
    bool has_sku(const std::string& sku) const;

    CameraSpec with_windows_controls(std::shared_ptr<const CameraControlList> table) const;
    Json to_json() const;
};

/// `controls` with their current values taken from a camera-state snapshot
/// (a recording's control values: numbers, switches as true or false);
/// absent where the snapshot has none or is not an object.
KELVO_API CameraControlList with_snapshot_values(const CameraControlList& controls,
                                                 const Json& snapshot);

/// `value` as the integer a camera's control handle takes, or
/// std::invalid_argument saying why not: out of range or off the step, not
/// an entry of the menu (the range of "auto_exposure" spans values its menu
/// leaves out, which drivers refuse), true or false for anything but a
/// switch. The one check of a control value for the viewer, the command
/// line and Python.
KELVO_API int check_camera_control_value(const CameraControl& control, const Json& value);

/// The CameraSpec whose `skus` contain `sku` exactly, or null.
KELVO_API std::shared_ptr<const CameraSpec> spec_by_sku(const std::string& sku);

/// Every catalogue entry known to the process, by its published name, in registration order.
KELVO_API std::vector<std::pair<std::string, std::shared_ptr<const CameraSpec>>> catalogue();

namespace detail {
/// Called once per catalogue entry when its library loads.
KELVO_API void register_camera_spec(const std::string& name,
                                    std::shared_ptr<const CameraSpec> spec);
}  // namespace detail

}  // namespace kelvo
