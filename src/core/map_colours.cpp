// Turbo colouring of float maps, shared by the command's previews and the viewer.
#include "kelvo/map_colours.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace kelvo {
namespace {

/// OpenCV's turbo colours for the 256 levels, read once.
const std::array<cv::Vec3b, 256>& turbo() {
    static const std::array<cv::Vec3b, 256> table = [] {
        cv::Mat ramp(1, 256, CV_8UC1), bgr;
        for (int i = 0; i < 256; ++i) ramp.at<std::uint8_t>(0, i) = static_cast<std::uint8_t>(i);
        cv::applyColorMap(ramp, bgr, cv::COLORMAP_TURBO);
        std::array<cv::Vec3b, 256> out{};
        for (int i = 0; i < 256; ++i) out[static_cast<std::size_t>(i)] = bgr.at<cv::Vec3b>(0, i);
        return out;
    }();
    return table;
}

}  // namespace

ColouredMap colour_map(const cv::Mat& map, cv::Size size) {
    CV_Assert(map.type() == CV_32FC1);
    ColouredMap out;
    // The range of the finite values, in one pass (NaN compares false both ways).
    float lo = std::numeric_limits<float>::infinity(), hi = -lo;
    for (int y = 0; y < map.rows; ++y) {
        const float* row = map.ptr<float>(y);
        for (int x = 0; x < map.cols; ++x) {
            const float v = row[x];
            if (v == v) {
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
    }
    out.any_valid = lo <= hi;
    if (out.any_valid) {
        out.lo = lo;
        out.hi = hi;
    }
    if (size.empty()) size = map.size();
    // Nearest-pixel sampling (NaN stays NaN) by index tables, as OpenCV's
    // nearest resize picks them; a plain loop, so a small view wakes no
    // worker threads.
    const double col_step = 1.0 / (static_cast<double>(size.width) / map.cols);
    const double row_step = 1.0 / (static_cast<double>(size.height) / map.rows);
    std::vector<int> xs(static_cast<std::size_t>(size.width));
    for (int x = 0; x < size.width; ++x) {
        xs[static_cast<std::size_t>(x)] =
            std::min(map.cols - 1, static_cast<int>(std::floor(x * col_step)));
    }
    // The level of a value as a float-to-8-bit conversion with this scale
    // rounds it, so the colours are those of convertTo + applyColorMap.
    const double span = out.hi > out.lo ? out.hi - out.lo : 1.0;
    const auto alpha = static_cast<float>(255.0 / span);
    const auto beta = static_cast<float>(-out.lo * 255.0 / span);
    const auto& colours = turbo();
    out.bgr.create(size, CV_8UC3);
    for (int y = 0; y < size.height; ++y) {
        const float* row =
            map.ptr<float>(std::min(map.rows - 1, static_cast<int>(std::floor(y * row_step))));
        auto* dst = out.bgr.ptr<cv::Vec3b>(y);
        for (int x = 0; x < size.width; ++x) {
            const float v = row[xs[static_cast<std::size_t>(x)]];
            dst[x] = v == v ? colours[cv::saturate_cast<std::uint8_t>(v * alpha + beta)]
                            : cv::Vec3b(0, 0, 0);
        }
    }
    return out;
}

}  // namespace kelvo
