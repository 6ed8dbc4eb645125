// Uses the installed kit through its public headers only.
#include <iostream>

#include <kelvo/calibration.hpp>
#include <kelvo/cameras/kelvo_fenwa.hpp>

int main() {
    const auto spec = kelvo::spec_by_sku("STEREO-CAMERA-FENWA-NARROW-21");
    if (!spec) return 1;
    const auto layout = kelvo::fit_layout({360, 640}, {256, 512});
    std::cout << spec->default_mode().slug() << " " << layout.valid_w << "\n";
    return 0;
}
