#include "pipeline/post/post_stages.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include "kelvo/inference/base.hpp"

namespace kelvo::detail {

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

/// The disparity spread at which a value's local agreement falls to 1/e, in
/// pixels; for depth maps the same share of the value.
constexpr float DISPARITY_SPREAD = 2.0f;
constexpr float DEPTH_SPREAD = 0.05f;
/// Distance to the nearest hole at which trust falls to 1/e of full:
/// values beside an occlusion are the ones a matcher most often fattens.
constexpr float HOLE_DISTANCE = 3.0f;
/// The floor of a measured value's confidence, so that any measurement
/// ranks above a filled value.
constexpr float MEASURED_FLOOR = 0.2f;

constexpr int MIN_BOUND_RUN = 5;  ///< a shorter run of values does not bound a hole
// (a bound is the median of the three values next to the hole)

float median3(float a, float b, float c) {
    return std::max(std::min(a, b), std::min(std::max(a, b), c));
}

}  // namespace

void left_right_check(cv::Mat& disparity, const cv::Mat& right_view, float tolerance,
                      cv::Mat& disagreement) {
    disagreement = cv::Mat::zeros(disparity.size(), CV_32F);
    for (int y = 0; y < disparity.rows; ++y) {
        float* d = disparity.ptr<float>(y);
        const float* r = right_view.ptr<float>(y);
        float* out = disagreement.ptr<float>(y);
        for (int x = 0; x < disparity.cols; ++x) {
            if (std::isnan(d[x])) continue;
            const long xr = std::lround(x - d[x]);
            if (xr < 0 || xr >= disparity.cols) {
                d[x] = NaN;  // points outside the other view
                continue;
            }
            if (std::isnan(r[xr])) {
                // The right view has no match there (its own search ran out
                // of image near its right edge): nothing contradicts the
                // value, nothing confirms it either.
                out[x] = tolerance;
                continue;
            }
            const float diff = std::abs(d[x] - r[xr]);
            if (diff > tolerance) {
                d[x] = NaN;
            } else {
                out[x] = diff;
            }
        }
    }
}

void remove_speckles(cv::Mat& disparity, int max_size, float max_diff) {
    // OpenCV's speckle filter works on 16-bit fixed point (16 per pixel).
    constexpr short HOLE = std::numeric_limits<short>::min();
    cv::Mat fixed(disparity.size(), CV_16S);
    for (int y = 0; y < disparity.rows; ++y) {
        const float* d = disparity.ptr<float>(y);
        short* f = fixed.ptr<short>(y);
        for (int x = 0; x < disparity.cols; ++x) {
            f[x] = std::isnan(d[x])
                       ? HOLE
                       : static_cast<short>(std::clamp(std::lround(d[x] * 16.0f), -32767L, 32767L));
        }
    }
    cv::filterSpeckles(fixed, HOLE, max_size, std::lround(max_diff * 16.0f));
    disparity.setTo(NaN, fixed == HOLE);
}

cv::Mat measured_confidence(const cv::Mat& map, const cv::Mat& disagreement, bool depth_map) {
    const cv::Mat valid = map == map;  // NaN is unequal to itself
    cv::Mat values, valid_f;
    map.copyTo(values);
    values.setTo(0.0f, ~valid);
    valid.convertTo(valid_f, CV_32F, 1.0 / 255.0);
    cv::Mat n, sum, sum_sq;
    const cv::Size window(3, 3);
    cv::boxFilter(valid_f, n, CV_32F, window, {-1, -1}, false, cv::BORDER_REPLICATE);
    cv::boxFilter(values, sum, CV_32F, window, {-1, -1}, false, cv::BORDER_REPLICATE);
    cv::boxFilter(values.mul(values), sum_sq, CV_32F, window, {-1, -1}, false,
                  cv::BORDER_REPLICATE);
    cv::Mat hole_distance;
    cv::distanceTransform(valid, hole_distance, cv::DIST_L2, 3);

    // Whole-image arithmetic, so that OpenCV's vector code does the work:
    // trust = exp(-spread / scale - lr) * share * (1 - exp(-distance / D)).
    cv::Mat mean, spread;
    cv::divide(sum, n, mean);  // 0 where nothing is counted
    cv::divide(sum_sq, n, spread);
    spread -= mean.mul(mean);
    spread = cv::max(spread, 0.0f);
    cv::sqrt(spread, spread);
    cv::Mat arg;
    if (depth_map) {
        // Relative to the value; a zero value divides to 0 (full agreement).
        cv::divide(spread, cv::abs(mean) * DEPTH_SPREAD, arg);
        arg = -arg;
    } else {
        arg = spread * (-1.0f / DISPARITY_SPREAD);
    }
    if (!disagreement.empty()) arg -= disagreement;
    cv::Mat agreement, near_hole;
    cv::exp(arg, agreement);
    cv::exp(hole_distance * (-1.0f / HOLE_DISTANCE), near_hole);
    cv::Mat trust = agreement.mul(n, 1.0 / 9.0).mul(1.0f - near_hole);
    cv::Mat confidence = MEASURED_FLOOR + (1.0f - MEASURED_FLOOR) * trust;
    confidence.setTo(0.0f, ~valid);
    return confidence;
}

void edge_aware_filter(cv::Mat& map, cv::Mat& confidence, const cv::Mat& guide, double lambda,
                       double sigma_colour, float filled_confidence) {
    // Normalised filtering: smooth(value x weight) / smooth(weight), so a
    // hole or a doubtful value pulls its neighbours nowhere.
    cv::Mat weighted;
    map.copyTo(weighted);
    weighted.setTo(0.0f, ~(map == map));
    weighted = weighted.mul(confidence);
    const auto smoother = cv::ximgproc::createFastGlobalSmootherFilter(guide, lambda, sigma_colour);
    cv::Mat num, den;
    smoother->filter(weighted, num);
    smoother->filter(confidence, den);
    // A hole is filled where the weight that reaches it is at least this
    // share of a fully trusted neighbourhood's.
    constexpr float FILL_SUPPORT = 0.3f;
    for (int y = 0; y < map.rows; ++y) {
        float* m = map.ptr<float>(y);
        float* c = confidence.ptr<float>(y);
        const float* a = num.ptr<float>(y);
        const float* b = den.ptr<float>(y);
        for (int x = 0; x < map.cols; ++x) {
            if (!std::isnan(m[x])) {
                if (b[x] > 1e-6f) m[x] = a[x] / b[x];
            } else if (b[x] >= FILL_SUPPORT) {
                m[x] = a[x] / b[x];
                c[x] = filled_confidence;
            }
        }
    }
}

void fill_holes(cv::Mat& map, cv::Mat& confidence, bool depth_map, float filled_confidence) {
    std::vector<std::array<int, 2>> runs;  // [begin, end) of the trusted runs of a row
    for (int y = 0; y < map.rows; ++y) {
        float* m = map.ptr<float>(y);
        float* c = confidence.ptr<float>(y);
        runs.clear();
        for (int x = 0; x < map.cols;) {
            if (std::isnan(m[x])) {
                ++x;
                continue;
            }
            const int begin = x;
            while (x < map.cols && !std::isnan(m[x])) ++x;
            if (x - begin >= MIN_BOUND_RUN) runs.push_back({begin, x});
        }
        if (runs.empty()) continue;
        // The gaps before, between and after the trusted runs.
        for (std::size_t i = 0; i <= runs.size(); ++i) {
            const int lo = i > 0 ? runs[i - 1][1] : 0;
            const int hi = i < runs.size() ? runs[i][0] : map.cols;
            if (hi <= lo) continue;
            float bound = NaN;
            auto take = [&](float v) {
                if (std::isnan(bound)) {
                    bound = v;
                } else {
                    bound = depth_map ? std::max(bound, v) : std::min(bound, v);
                }
            };
            if (i > 0) take(median3(m[lo - 1], m[lo - 2], m[lo - 3]));
            if (i < runs.size()) take(median3(m[hi], m[hi + 1], m[hi + 2]));
            for (int x = lo; x < hi; ++x) {
                m[x] = bound;
                c[x] = filled_confidence;
            }
        }
    }
}

}  // namespace kelvo::detail
