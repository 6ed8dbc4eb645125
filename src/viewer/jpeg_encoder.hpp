// JPEG encoding of the viewer's panels straight through libjpeg-turbo: it
// takes the BGR rows as they are (OpenCV's encoder converts each row to RGB
// first), which is most of what the viewer costs per frame.
#pragma once

#include <string>

#include <opencv2/core.hpp>

namespace kelvo::detail {

/// `image` (CV_8UC3 BGR or CV_8UC1 grey) as a baseline JPEG of `quality`
/// (1..100); RuntimeError when libjpeg fails.
std::string encode_jpeg(const cv::Mat& image, int quality);

}  // namespace kelvo::detail
