// Turbo colouring of float maps, shared by the command's previews and the viewer.
#include "kelvo/map_colours.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

namespace kelvo {
namespace {

/// The level of "no estimate": black, after turbo's 256 levels.
constexpr int NO_ESTIMATE = 256;

/// OpenCV's turbo colours for the 256 levels, then black; each BGR colour in
/// four bytes, so a pixel is one table read and one store.
const std::array<std::uint32_t, 257>& turbo() {
    static const std::array<std::uint32_t, 257> table = [] {
        cv::Mat ramp(1, 256, CV_8UC1), bgr;
        for (int i = 0; i < 256; ++i) ramp.at<std::uint8_t>(0, i) = static_cast<std::uint8_t>(i);
        cv::applyColorMap(ramp, bgr, cv::COLORMAP_TURBO);
        std::array<std::uint32_t, 257> out{};
        for (int i = 0; i < 256; ++i) {
            std::memcpy(&out[static_cast<std::size_t>(i)], bgr.ptr<std::uint8_t>(0, i), 3);
        }
        return out;
    }();
    return table;
}

/// The smallest and largest finite values, or (inf, -inf) when none. Each
/// comparison is false for NaN, so holes drop out without a branch; eight
/// running lanes let the compiler use vector min/max.
std::pair<float, float> finite_range(const cv::Mat& map) {
    constexpr int LANES = 8;
    std::array<float, LANES> lo, hi;
    lo.fill(std::numeric_limits<float>::infinity());
    hi.fill(-std::numeric_limits<float>::infinity());
    for (int y = 0; y < map.rows; ++y) {
        const float* row = map.ptr<float>(y);
        int x = 0;
        for (; x + LANES <= map.cols; x += LANES) {
            for (std::size_t i = 0; i < LANES; ++i) {
                const float v = row[x + static_cast<int>(i)];
                lo[i] = v < lo[i] ? v : lo[i];
                hi[i] = v > hi[i] ? v : hi[i];
            }
        }
        for (; x < map.cols; ++x) {
            const float v = row[x];
            lo[0] = v < lo[0] ? v : lo[0];
            hi[0] = v > hi[0] ? v : hi[0];
        }
    }
    return {*std::min_element(lo.begin(), lo.end()), *std::max_element(hi.begin(), hi.end())};
}

/// Turbo levels of `values`: rounded as a float-to-8-bit conversion with this
/// scale rounds them (so the colours are those of convertTo + applyColorMap),
/// NO_ESTIMATE for NaN.
void levels(const float* values, int n, float alpha, float beta, int* out) {
    int x = 0;
#if CV_SIMD
    const cv::v_float32 va = cv::vx_setall_f32(alpha), vb = cv::vx_setall_f32(beta);
    const cv::v_int32 lowest = cv::vx_setzero_s32(), highest = cv::vx_setall_s32(255),
                      none = cv::vx_setall_s32(NO_ESTIMATE);
    for (; x + cv::v_float32::nlanes <= n; x += cv::v_float32::nlanes) {
        const cv::v_float32 v = cv::vx_load(values + x);
        const cv::v_int32 level = cv::v_min(cv::v_max(cv::v_round(v * va + vb), lowest), highest);
        cv::v_store(out + x, cv::v_select(cv::v_reinterpret_as_s32(v == v), level, none));
    }
#endif
    for (; x < n; ++x) {
        const float v = values[x];
        out[x] = v == v ? std::clamp(cvRound(v * alpha + beta), 0, 255) : NO_ESTIMATE;
    }
}

}  // namespace

ColouredMap colour_map(const cv::Mat& map, cv::Size size) {
    CV_Assert(map.type() == CV_32FC1);
    ColouredMap out;
    const auto [lo, hi] = finite_range(map);
    out.any_valid = lo <= hi;
    if (out.any_valid) {
        out.lo = lo;
        out.hi = hi;
    }
    if (size.empty()) size = map.size();
    // Nearest-pixel sampling (NaN stays NaN) by index tables, as OpenCV's
    // nearest resize picks them; plain loops, so a small view wakes no
    // worker threads.
    const double col_step = 1.0 / (static_cast<double>(size.width) / map.cols);
    const double row_step = 1.0 / (static_cast<double>(size.height) / map.rows);
    const auto width = static_cast<std::size_t>(size.width);
    std::vector<int> xs(width);
    for (std::size_t x = 0; x < width; ++x) {
        xs[x] =
            std::min(map.cols - 1, static_cast<int>(std::floor(static_cast<double>(x) * col_step)));
    }
    const double span = out.hi > out.lo ? out.hi - out.lo : 1.0;
    const auto alpha = static_cast<float>(255.0 / span);
    const auto beta = static_cast<float>(-out.lo * 255.0 / span);
    const auto& colours = turbo();
    out.bgr.create(size, CV_8UC3);
    std::vector<float> sampled(width);
    std::vector<int> level(width);
    for (int y = 0; y < size.height; ++y) {
        const float* row =
            map.ptr<float>(std::min(map.rows - 1, static_cast<int>(std::floor(y * row_step))));
        if (size.width != map.cols) {
            for (std::size_t x = 0; x < width; ++x) sampled[x] = row[xs[x]];
            row = sampled.data();
        }
        levels(row, size.width, alpha, beta, level.data());
        // Four bytes stored per pixel, the fourth overwritten by the next
        // pixel; the last pixel gets its three only, so the row's end is kept.
        auto* dst = out.bgr.ptr<std::uint8_t>(y);
        const std::size_t last = width - 1;
        for (std::size_t x = 0; x < last; ++x) {
            std::memcpy(dst + 3 * x, &colours[static_cast<std::size_t>(level[x])], 4);
        }
        std::memcpy(dst + 3 * last, &colours[static_cast<std::size_t>(level[last])], 3);
    }
    return out;
}

}  // namespace kelvo
