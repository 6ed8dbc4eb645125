// Colour-mapped float maps (disparity, depth) as the kit shows them in
// previews and in the viewer: turbo from the smallest valid value (blue) to
// the largest (red), black where there is no estimate.
#pragma once

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo {

struct ColouredMap {
    cv::Mat bgr;  ///< CV_8UC3, the map's size or the size asked for
    double lo = 0, hi = 0;
    bool any_valid = false;
};

/// `map` is CV_32FC1 with NaN where there is no estimate. With a non-empty
/// `size` the colours are sampled (nearest pixel) at that size, while the
/// range stays the whole map's, so a smaller view shows the same scale.
KELVO_API ColouredMap colour_map(const cv::Mat& map, cv::Size size = {});

}  // namespace kelvo
