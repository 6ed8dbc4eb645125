#include "kelvo/sources/types.hpp"

namespace kelvo {

Json CameraInfo::to_json() const {
    Json j;
    j["os_id"] = os_id;
    j["camera_name"] = camera_name;
    j["camera_serial"] = camera_serial;
    j["width"] = width;
    j["height"] = height;
    j["fps"] = fps;
    j["is_live"] = is_live;
    j["clock_domain"] = clock_domain;
    j["sku"] = detail::optional_json(sku);
    return j;
}

}  // namespace kelvo
