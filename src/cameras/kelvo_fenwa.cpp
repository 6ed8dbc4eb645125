// The Fenwa catalogue entry: own product codes, the Corvan firmware's modes
// and controls shared by reference.
#include "kelvo/cameras/kelvo_fenwa.hpp"

#include <string>

#include "kelvo/cameras/kelvo_corvan.hpp"

namespace kelvo {
namespace {

CameraSpec build_fenwa() {
    std::vector<std::string> skus;
    for (const char* line : {"STEREO-CAMERA-FENWA-", "STEREO-CAMERA-MODULE-FENWA-"}) {
        for (const char* lens : detail::FENWA_LENSES)
            skus.push_back(std::string(line) + lens + "-21");
    }
    CameraSpec spec;
    spec.skus = std::make_shared<const std::vector<std::string>>(std::move(skus));
    spec.modes = KELVO_CORVAN.modes;
    spec.controls = KELVO_CORVAN.controls;
    spec.windows_controls = KELVO_CORVAN.windows_controls;
    return spec;
}

}  // namespace

const CameraSpec KELVO_FENWA = build_fenwa();

namespace {
const bool fenwa_registered = [] {
    detail::register_camera_spec("KELVO_FENWA",
                                 std::shared_ptr<const CameraSpec>(&KELVO_FENWA, [](auto*) {}));
    return true;
}();
}  // namespace

}  // namespace kelvo
