// Camera discovery over the V4L2 capture devices, and the dictionary form of
// a connected camera's identity.
#include <algorithm>
#include <charconv>
#include <filesystem>
#include <set>

#include <fmt/format.h>

#include "kelvo/cameras.hpp"
#include "kelvo/errors.hpp"

namespace kelvo {
namespace fs = std::filesystem;

namespace {

std::string string_field(const Json& dict, const char* key, bool required) {
    auto it = dict.find(key);
    if (it == dict.end() || it->is_null()) {
        if (required) {
            throw std::invalid_argument(
                fmt::format("KelvoCameraInfo record lacks the field '{}'", key));
        }
        return {};
    }
    if (!it->is_string()) {
        throw std::invalid_argument(fmt::format(
            "KelvoCameraInfo field '{}' must be a string, got {}", key, it->type_name()));
    }
    return it->get<std::string>();
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

/// "video12" -> 12; absent for names of other nodes ("vbi0", "video").
std::optional<long> video_index(const std::string& name) {
    if (name.rfind("video", 0) != 0 || name.size() == 5) return std::nullopt;
    long index = 0;
    const char* begin = name.data() + 5;
    const char* end = name.data() + name.size();
    auto [ptr, ec] = std::from_chars(begin, end, index);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return index;
}

}  // namespace

Json KelvoCameraInfo::to_dict() const {
    Json dict = Json::object();
    dict["os_id"] = os_id;
    dict["sku"] = sku;
    dict["model_name"] = model_name;
    dict["serial"] = serial;
    dict["base_calibration"] = base_calibration ? base_calibration->to_dict() : Json(nullptr);
    return dict;
}

KelvoCameraInfo KelvoCameraInfo::from_dict(const Json& dict) {
    if (!dict.is_object()) {
        throw TypeError(
            fmt::format("KelvoCameraInfo.from_dict expects an object, got {}", dict.type_name()));
    }
    KelvoCameraInfo info;
    info.os_id = string_field(dict, "os_id", true);
    info.sku = string_field(dict, "sku", false);
    info.model_name = string_field(dict, "model_name", false);
    info.serial = string_field(dict, "serial", false);
    if (auto it = dict.find("base_calibration"); it != dict.end() && !it->is_null()) {
        info.base_calibration = Calibration::from_dict(*it);
    }
    if (!info.sku.empty()) info.spec = spec_by_sku(info.sku);
    return info;
}

namespace detail {

std::vector<KelvoCameraInfo> list_kelvo_cameras(const DiscoverySource& source) {
    std::vector<std::pair<long, std::string>> nodes;
    std::error_code ec;
    for (fs::directory_iterator it(source.paths.sysfs_class_dir, ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (auto index = video_index(name)) nodes.emplace_back(*index, name);
    }
    std::sort(nodes.begin(), nodes.end());

    std::vector<KelvoCameraInfo> cameras;
    std::set<std::string> seen_devices;  // one entry per USB device, its first capture node
    for (const auto& [index, name] : nodes) {
        const std::string device_path = (fs::path(source.paths.dev_dir) / name).string();
        const bool captures = source.is_capture_device ? source.is_capture_device(device_path)
                                                       : v4l2_is_capture_device(device_path);
        if (!captures) continue;
        auto identity = usb_identity_of(source.paths.sysfs_class_dir, name);
        if (!identity) continue;
        const std::string sku = trimmed(identity->product);
        auto spec = sku.empty() ? nullptr : spec_by_sku(sku);
        if (!spec) continue;
        const std::string usb_device =
            fs::weakly_canonical(fs::path(source.paths.sysfs_class_dir) / name / "device", ec)
                .parent_path()
                .string();
        if (!seen_devices.insert(usb_device).second) continue;
        KelvoCameraInfo info;
        info.os_id = device_path;
        info.sku = sku;
        info.spec = std::move(spec);
        info.model_name = sku;
        info.serial = trimmed(identity->serial);
        cameras.push_back(std::move(info));
    }
    return cameras;
}

}  // namespace detail

std::vector<KelvoCameraInfo> list_connected_kelvo_cameras() {
    return detail::list_kelvo_cameras(detail::DiscoverySource{});
}

std::optional<KelvoCameraInfo> get_connected_kelvo_camera_by_serial(const std::string& serial) {
    if (serial.empty()) return std::nullopt;  // a camera without a serial cannot be named
    for (auto& camera : list_connected_kelvo_cameras()) {
        if (camera.serial == serial) return std::move(camera);
    }
    return std::nullopt;
}

}  // namespace kelvo
