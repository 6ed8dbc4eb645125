// Turbo colouring of float maps, shared by the command's previews and the viewer.
#include "kelvo/map_colours.hpp"

#include <opencv2/imgproc.hpp>

namespace kelvo {

ColouredMap colour_map(const cv::Mat& map) {
    CV_Assert(map.type() == CV_32FC1);
    ColouredMap out;
    const cv::Mat finite = (map == map);  // false where NaN
    if (cv::countNonZero(finite) > 0) {
        cv::minMaxLoc(map, &out.lo, &out.hi, nullptr, nullptr, finite);
        out.any_valid = true;
    }
    const double span = out.hi > out.lo ? out.hi - out.lo : 1.0;
    cv::Mat scaled;
    map.convertTo(scaled, CV_8U, 255.0 / span, -out.lo * 255.0 / span);
    cv::applyColorMap(scaled, out.bgr, cv::COLORMAP_TURBO);
    out.bgr.setTo(cv::Scalar::all(0), ~finite);
    return out;
}

}  // namespace kelvo
