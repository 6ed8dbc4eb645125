// Colour-mapped float maps (disparity, depth) as the kit shows them in
// previews and in the viewer: turbo from the smallest valid value (blue) to
// the largest (red), black where there is no estimate.
#pragma once

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo {

struct ColouredMap {
    cv::Mat bgr;  ///< CV_8UC3, the map's size
    double lo = 0, hi = 0;
    bool any_valid = false;
};

/// `map` is CV_32FC1 with NaN where there is no estimate.
KELVO_API ColouredMap colour_map(const cv::Mat& map);

}  // namespace kelvo
