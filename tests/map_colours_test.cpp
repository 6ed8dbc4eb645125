// Colour-mapped maps: the colours are OpenCV's scale-to-8-bit + turbo with
// black where there is no estimate, and a smaller view keeps the whole map's
// range and shows its nearest pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "kelvo/map_colours.hpp"

namespace {

constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();

/// The colouring written with OpenCV's own calls, as previews were made before.
cv::Mat opencv_colours(const cv::Mat& map, double lo, double hi) {
    const double span = hi > lo ? hi - lo : 1.0;
    cv::Mat scaled, bgr;
    map.convertTo(scaled, CV_8U, 255.0 / span, -lo * 255.0 / span);
    cv::applyColorMap(scaled, bgr, cv::COLORMAP_TURBO);
    bgr.setTo(cv::Scalar::all(0), ~(map == map));
    return bgr;
}

cv::Mat random_map(int rows, int cols, float lo, float hi, double nan_share) {
    cv::RNG rng(7);
    cv::Mat map(rows, cols, CV_32FC1);
    rng.fill(map, cv::RNG::UNIFORM, lo, hi);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) {
            if (rng.uniform(0.0, 1.0) < nan_share) map.at<float>(y, x) = NAN_F;
        }
    }
    return map;
}

TEST(ColourMap, EqualsOpenCvScalingAndTurbo) {
    struct Case {
        const char* name;
        cv::Mat map;
    };
    const Case cases[] = {
        {"disparity with holes", random_map(37, 53, 0.5f, 96.f, 0.3)},
        {"depth in metres", random_map(20, 31, 0.2f, 9.5f, 0.05)},
        {"negative values", random_map(9, 11, -4.f, 3.f, 0.0)},
        {"one value", cv::Mat(4, 5, CV_32FC1, cv::Scalar(2.5))},
        {"no estimate", cv::Mat(4, 5, CV_32FC1, cv::Scalar(NAN_F))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = kelvo::colour_map(c.map);
        double lo = 0, hi = 0;
        const cv::Mat finite = c.map == c.map;
        const bool any = cv::countNonZero(finite) > 0;
        if (any) cv::minMaxLoc(c.map, &lo, &hi, nullptr, nullptr, finite);
        ASSERT_EQ(out.any_valid, any);
        EXPECT_DOUBLE_EQ(out.lo, lo);
        EXPECT_DOUBLE_EQ(out.hi, hi);
        ASSERT_EQ(out.bgr.size(), c.map.size());
        ASSERT_EQ(out.bgr.type(), CV_8UC3);
        // OpenCV may fuse the multiply-add; a value on a rounding edge can
        // then land one level apart, which turbo shows as a tiny step.
        cv::Mat diff;
        cv::absdiff(out.bgr, opencv_colours(c.map, lo, hi), diff);
        double worst = 0;
        cv::minMaxLoc(diff.reshape(1), nullptr, &worst);
        EXPECT_LE(worst, 8) << "colours differ by more than one turbo step";
        EXPECT_LE(cv::countNonZero(diff.reshape(1)), c.map.total() / 50 + 1);
    }
}

TEST(ColourMap, ASmallerViewKeepsTheRangeAndSamplesNearestPixels) {
    const cv::Mat map = random_map(90, 160, 1.f, 64.f, 0.2);
    const auto full = kelvo::colour_map(map);
    const cv::Size sizes[] = {{80, 45}, {57, 33}, {160, 90}, {7, 3}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(testing::Message() << size);
        const auto small = kelvo::colour_map(map, size);
        EXPECT_EQ(small.bgr.size(), size);
        EXPECT_DOUBLE_EQ(small.lo, full.lo);
        EXPECT_DOUBLE_EQ(small.hi, full.hi);
        cv::Mat expected;
        cv::resize(full.bgr, expected, size, 0, 0, cv::INTER_NEAREST);
        EXPECT_EQ(cv::norm(small.bgr, expected, cv::NORM_INF), 0);
    }
}

}  // namespace
