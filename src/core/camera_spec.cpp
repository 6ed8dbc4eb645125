#include "kelvo/cameras/camera_spec.hpp"

#include <dlfcn.h>
#include <algorithm>
#include <cmath>

#include <filesystem>
#include <mutex>

#include <fmt/format.h>

#include "core/library_dir.hpp"
#include "kelvo/errors.hpp"

namespace kelvo {
namespace {

using detail::optional_json;

Json number_json(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        return Json(static_cast<long long>(value));
    }
    return Json(value);
}

struct SpecRegistry {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::shared_ptr<const CameraSpec>>> entries;
};

SpecRegistry& spec_registry() {
    static SpecRegistry registry;
    return registry;
}

// A host that links only the core (or drops unused libraries at link time)
// still finds the catalogue: the entries register themselves when their
// library loads, so load it from beside the core library on first use.
void ensure_catalogue_loaded() {
    static std::once_flag once;
    std::call_once(once, [] {
        {
            // The Fenwa library loads the Corvan one, so its entry stands for
            // the whole catalogue; a host holding only the Corvan library
            // still gets the Fenwa entry.
            auto& registry = spec_registry();
            std::lock_guard lock(registry.mutex);
            for (const auto& [name, spec] : registry.entries) {
                if (name == "KELVO_FENWA") return;
            }
        }
        const auto dir = detail::core_library_dir();
        for (const char* name : {"libkelvo_fenwa.so.0", "libkelvo_fenwa.so"}) {
            if (!dir.empty() && dlopen((dir / name).c_str(), RTLD_NOW | RTLD_GLOBAL)) return;
            if (dlopen(name, RTLD_NOW | RTLD_GLOBAL)) return;
        }
    });
}

}  // namespace

CaptureMode::CaptureMode(int width_, int height_, double fps_, std::string fourcc_, bool stereo_,
                         bool is_supported_, bool is_default_)
    : width(width_),
      height(height_),
      fps(fps_),
      fourcc(std::move(fourcc_)),
      stereo(stereo_),
      is_supported(is_supported_),
      is_default(is_default_) {}

std::string CaptureMode::slug() const {
    return fmt::format("{}x{}@{}-{}", width, height, fps, fourcc);
}

Json CaptureMode::to_json() const {
    Json j;
    j["width"] = width;
    j["height"] = height;
    j["fps"] = number_json(fps);
    j["fourcc"] = fourcc;
    j["stereo"] = stereo;
    j["is_supported"] = is_supported;
    j["is_default"] = is_default;
    j["slug"] = slug();
    return j;
}

CameraControl CameraControl::with_current_value(std::optional<double> value) const {
    CameraControl copy = *this;
    copy.current_value = value;
    return copy;
}

Json CameraControl::to_json() const {
    Json j;
    j["name"] = name;
    j["label"] = label;
    j["kind"] = kind;
    j["value_type"] = value_type;
    j["unit"] = optional_json(unit);
    j["auto_companion"] = optional_json(auto_companion);
    j["updatable_by_auto"] = optional_json(updatable_by_auto);
    if (enum_values) {
        Json list = Json::array();
        for (const auto& [value, text] : *enum_values) list.push_back(Json::array({value, text}));
        j["enum_values"] = list;
    } else {
        j["enum_values"] = nullptr;
    }
    j["default"] = default_value;
    j["min"] = min;
    j["max"] = max;
    j["step"] = step;
    return j;
}

const CaptureMode& CameraSpec::default_mode() const {
    for (const auto& mode : *modes) {
        if (mode.is_default) return mode;
    }
    throw RuntimeError("camera specification has no default capture mode");
}

const CameraControlList& CameraSpec::platform_controls() const {
#if defined(_WIN32)
    return *windows_controls;
#else
    return *controls;
#endif
}

std::optional<CaptureMode> CameraSpec::mode_by_slug(const std::string& slug) const {
    for (const auto& mode : *modes) {
        if (mode.slug() == slug) return mode;
    }
    return std::nullopt;
}

bool CameraSpec::has_sku(const std::string& sku) const {
    return std::find(skus->begin(), skus->end(), sku) != skus->end();
}

CameraSpec CameraSpec::with_windows_controls(std::shared_ptr<const CameraControlList> table) const {
    CameraSpec copy = *this;
    copy.windows_controls = std::move(table);
    return copy;
}

Json CameraSpec::to_json() const {
    Json j;
    j["skus"] = *skus;
    Json mode_list = Json::array();
    for (const auto& mode : *modes) mode_list.push_back(mode.to_json());
    j["modes"] = mode_list;
    for (const char* key : {"controls", "windows_controls"}) {
        const auto& table = std::string(key) == "controls" ? controls : windows_controls;
        Json list = Json::array();
        if (table) {
            for (const auto& control : *table) list.push_back(control.to_json());
        }
        j[key] = list;
    }
    j["default_mode"] = default_mode().slug();
    return j;
}

CameraControlList with_snapshot_values(const CameraControlList& controls, const Json& snapshot) {
    CameraControlList out;
    out.reserve(controls.size());
    for (const auto& control : controls) {
        std::optional<double> value;
        if (snapshot.is_object()) {
            const auto it = snapshot.find(control.name);
            if (it != snapshot.end()) {
                if (it->is_boolean()) {
                    value = it->get<bool>() ? 1.0 : 0.0;
                } else if (it->is_number()) {
                    value = it->get<double>();
                }
            }
        }
        out.push_back(control.with_current_value(value));
    }
    return out;
}

std::shared_ptr<const CameraSpec> spec_by_sku(const std::string& sku) {
    ensure_catalogue_loaded();
    auto& registry = spec_registry();
    std::lock_guard lock(registry.mutex);
    for (const auto& [name, spec] : registry.entries) {
        if (spec->has_sku(sku)) return spec;
    }
    return nullptr;
}

std::vector<std::pair<std::string, std::shared_ptr<const CameraSpec>>> catalogue() {
    ensure_catalogue_loaded();
    auto& registry = spec_registry();
    std::lock_guard lock(registry.mutex);
    return registry.entries;
}

namespace detail {
void register_camera_spec(const std::string& name, std::shared_ptr<const CameraSpec> spec) {
    auto& registry = spec_registry();
    std::lock_guard lock(registry.mutex);
    registry.entries.emplace_back(name, std::move(spec));
}
}  // namespace detail

}  // namespace kelvo
