// The Corvan catalogue entry, taken from a probe of a real unit: the device's
// own list of formats, sizes and rates, and its UVC control inventory.
#include "kelvo/cameras/kelvo_corvan.hpp"

#include <array>
#include <string>

namespace kelvo {
namespace {

std::vector<std::string> corvan_skus() {
    const std::array<const char*, 2> lines = {"STEREO-CAMERA-CORVAN",
                                              "STEREO-CAMERA-MODULE-CORVAN"};
    const std::array<const char*, 4> baselines = {"ULTRA-SHORT", "SHORT", "REGULAR", "LONG"};
    const std::array<const char*, 6> lenses = {"NARROW",     "REGULAR", "WIDE",
                                               "ULTRA-WIDE", "FISHEYE", "ULTRA-FISHEYE"};
    std::vector<std::string> skus;
    for (const char* line : lines) {
        for (const char* baseline : baselines) {
            for (const char* lens : lenses) {
                skus.push_back(std::string(line) + "-" + baseline + "-" + lens + "-21");
            }
        }
    }
    return skus;
}

struct SizeGroup {
    int width, height;
    bool stereo;
    std::vector<double> mjpg_rates;
    std::vector<double> yuyv_rates;
    bool supported;
};

CaptureModeList corvan_modes() {
    const std::vector<double> all = {30, 25, 20, 15, 10, 7.5, 5};
    const std::vector<SizeGroup> groups = {
        {1280, 720, false, all, {10, 7.5, 5}, true},
        {640, 480, false, all, all, false},
        {640, 360, false, all, all, true},
        {1280, 712, false, all, {10, 7.5, 5}, false},
        {640, 472, false, all, all, false},
        {640, 352, false, all, all, false},
        {2560, 720, true, all, {5}, true},
        {1280, 480, true, all, {15, 10, 7.5, 5}, false},
        {1280, 360, true, all, {25, 20, 15, 10, 7.5, 5}, true},
    };
    CaptureModeList modes;
    for (const char* fourcc : {"MJPG", "YUYV"}) {
        const bool mjpg = std::string(fourcc) == "MJPG";
        for (const auto& g : groups) {
            for (double fps : mjpg ? g.mjpg_rates : g.yuyv_rates) {
                const bool is_default = mjpg && g.width == 1280 && g.height == 360 && fps == 30;
                modes.emplace_back(g.width, g.height, fps, fourcc, g.stereo, g.supported,
                                   is_default);
            }
        }
    }
    return modes;
}

CameraControl control(std::string name, std::string label, std::string kind, int default_value,
                      int min, int max, std::optional<std::string> unit = std::nullopt,
                      std::optional<std::string> auto_companion = std::nullopt) {
    CameraControl c;
    c.name = std::move(name);
    c.label = std::move(label);
    c.kind = std::move(kind);
    c.value_type = c.kind == "boolean" ? "bool" : "int";
    c.unit = std::move(unit);
    c.auto_companion = std::move(auto_companion);
    c.default_value = default_value;
    c.min = min;
    c.max = max;
    c.step = 1;
    return c;
}

CameraControlList corvan_controls() {
    CameraControl auto_exposure = control("auto_exposure", "Auto exposure", "enum", 3, 0, 3);
    auto_exposure.enum_values = {{{1, "Manual"}, {3, "Aperture Priority"}}};
    CameraControl white_balance = control("white_balance", "White balance (K)", "number", 4600,
                                          2800, 6500, "K", "white_balance_auto");
    white_balance.updatable_by_auto = false;
    CameraControl power_line =
        control("power_line_frequency", "Power-line frequency", "enum", 1, 0, 2);
    power_line.enum_values = {{{0, "Disabled"}, {1, "50 Hz"}, {2, "60 Hz"}}};
    return {
        auto_exposure,
        control("exposure", "Exposure", "number", 312, 1, 80000, "100us", "auto_exposure"),
        control("gain", "Gain", "number", 32, 0, 130, std::nullopt, "auto_exposure"),
        control("brightness", "Brightness", "number", 0, -64, 64),
        control("contrast", "Contrast", "number", 34, 0, 64),
        control("saturation", "Saturation", "number", 62, 0, 78),
        control("hue", "Hue", "number", 0, -2000, 2000),
        control("gamma", "Gamma", "number", 150, 100, 300),
        control("sharpness", "Sharpness", "number", 4, 1, 7),
        control("white_balance_auto", "Auto white balance", "boolean", 1, 0, 1),
        white_balance,
        power_line,
        control("backlight_compensation", "Backlight compensation", "number", 0, 0, 1),
    };
}

CameraSpec build_corvan() {
    CameraSpec spec;
    spec.skus = std::make_shared<const std::vector<std::string>>(corvan_skus());
    spec.modes = std::make_shared<const CaptureModeList>(corvan_modes());
    spec.controls = std::make_shared<const CameraControlList>(corvan_controls());
    // Published only once complete: the copy with the Windows table.
    return spec.with_windows_controls(
        std::make_shared<const CameraControlList>(_build_windows_controls(*spec.controls)));
}

}  // namespace

CameraControlList _build_windows_controls(const CameraControlList& controls) {
    CameraControlList out;
    for (const auto& c : controls) {
        if (c.name == "power_line_frequency") continue;  // no such property on Windows
        if (c.name == "exposure") {
            // log2 seconds: -5 (about 31 ms) matches the V4L2 default 312 x 100 us.
            CameraControl exposure = c;
            exposure.min = -13;
            exposure.max = 3;
            exposure.step = 1;
            exposure.default_value = -5;
            exposure.unit = "log2(s)";
            out.push_back(exposure);
            continue;
        }
        out.push_back(c);
    }
    return out;
}

const CameraSpec KELVO_CORVAN = build_corvan();

namespace {
const bool corvan_registered = [] {
    detail::register_camera_spec("KELVO_CORVAN",
                                 std::shared_ptr<const CameraSpec>(&KELVO_CORVAN, [](auto*) {}));
    return true;
}();
}  // namespace

}  // namespace kelvo
