// The "stereo-sgbm" back-end: registered beside stereo-bm with its canvases,
// equal to OpenCV's semi-global matcher called directly, denser and more
// accurate than block matching on a scene with known disparity, and a
// right-view check that only ever removes matches. Accuracy is counted over
// every pixel both cameras see, holes included: block matching is accurate
// where it answers, but leaves much unanswered.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/inference/inferences/stereo_bm.hpp"
#include "kelvo/inference/inferences/stereo_sgbm.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace stereo_sgbm_test {

using kelvo::HeightWidth;
using kelvo::StereoSGBMInference;

/// The aloe pair from OpenCV's samples, grey, at a canvas size.
std::pair<cv::Mat, cv::Mat> aloe(cv::Size size) {
    const auto dir = kelvo::testing::opencv_sample_dir();
    cv::Mat l = cv::imread((dir / "aloeL.jpg").string(), cv::IMREAD_GRAYSCALE);
    cv::Mat r = cv::imread((dir / "aloeR.jpg").string(), cv::IMREAD_GRAYSCALE);
    EXPECT_FALSE(l.empty() || r.empty());
    cv::resize(l, l, size, 0, 0, cv::INTER_AREA);
    cv::resize(r, r, size, 0, 0, cv::INTER_AREA);
    return {l, r};
}

/// Pixels that differ between our map and OpenCV's fixed-point output / 16
/// (NaN where OpenCV has no match).
int mismatches(const cv::Mat& got, const cv::Mat& fixed, int min_disparity) {
    int out = 0;
    for (int y = 0; y < got.rows; ++y) {
        for (int x = 0; x < got.cols; ++x) {
            const short f = fixed.at<short>(y, x);
            const float g = got.at<float>(y, x);
            out += (f < min_disparity * 16) ? !std::isnan(g) : (g != f / 16.0f);
        }
    }
    return out;
}

TEST(StereoSGBM, RegisteredBesideStereoBMWithTheSameCanvases) {
    const auto cls = kelvo::inference_class("stereo-sgbm");
    EXPECT_FALSE(cls->neural);
    EXPECT_EQ(cls->kind, kelvo::InferenceKind::stereo);
    std::vector<std::string> sgbm, bm;
    for (const auto& v : cls->variants()) sgbm.push_back(v.slug);
    for (const auto& v : kelvo::inference_class("stereo-bm")->variants()) bm.push_back(v.slug);
    EXPECT_EQ(sgbm, bm);
    const auto built = cls->create(cls->variant("360x640"), {});
    EXPECT_EQ(built->input_size(), (HeightWidth{360, 640}));
}

TEST(StereoSGBM, EqualsOpenCVsMatcherCalledDirectly) {
    const auto [l, r] = aloe({512, 443});
    const struct {
        const char* name;
        std::vector<std::pair<std::string, int>> controls;
        int min, num, block, p1, p2, disp12, cap, unique, window, range, mode;
    } cases[] = {
        {"defaults", {}, 0, 96, 3, 72, 288, 1, 63, 10, 100, 2, cv::StereoSGBM::MODE_HH},
        {"8-path, bigger block, own penalties",
         {{"mode", cv::StereoSGBM::MODE_HH}, {"block_size", 7}, {"p1", 300}, {"p2", 2000}},
         0,
         96,
         7,
         300,
         2000,
         1,
         63,
         10,
         100,
         2,
         cv::StereoSGBM::MODE_HH},
        {"3-way, fewer disparities, no checks",
         {{"mode", cv::StereoSGBM::MODE_SGBM_3WAY},
          {"block_size", 5},
          {"num_disparities", 64},
          {"disp12_max_diff", -1},
          {"uniqueness_ratio", 0},
          {"speckle_window_size", 0}},
         0,
         64,
         5,
         200,
         800,
         -1,
         63,
         0,
         0,
         2,
         cv::StereoSGBM::MODE_SGBM_3WAY},
        {"P2 below P1 is raised above it",
         {{"p1", 900}, {"p2", 500}, {"mode", cv::StereoSGBM::MODE_SGBM}},
         0,
         96,
         3,
         900,
         901,
         1,
         63,
         10,
         100,
         2,
         cv::StereoSGBM::MODE_SGBM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StereoSGBMInference sgbm(HeightWidth{443, 512});
        for (const auto& [name, value] : c.controls) sgbm.set_inference_control(name, value);
        const cv::Mat got = sgbm.compute(l, r);
        cv::Mat fixed;
        cv::StereoSGBM::create(c.min, c.num, c.block, c.p1, c.p2, c.disp12, c.cap, c.unique,
                               c.window, c.range, c.mode)
            ->compute(l, r, fixed);
        EXPECT_EQ(mismatches(got, fixed, c.min), 0);
        EXPECT_EQ(sgbm.penalties(), std::make_pair(c.p1, c.p2));
    }
}

struct Scored {
    double wrong_or_hole;    ///< share of the considered pixels off by > 2 px or without estimate
    double end_point_error;  ///< over the considered pixels, a hole as disparity 0
    cv::Mat map;
};

/// A back-end's map of the synthetic scene fitted into a 360x640 canvas,
/// scored over the pixels both cameras see at least the search range from
/// the left edge.
Scored on_the_scene(kelvo::ClassicStereoInferenceBase& backend) {
    const auto scene = kelvo::detail::default_synthetic_scene({360, 640});
    const auto frame = kelvo::detail::render_synthetic_frame(scene, 0);
    const auto layout = kelvo::fit_layout(scene.eye_size, {360, 640});
    const cv::Mat map =
        backend.postprocess(backend.compute(kelvo::fit_into_canvas(frame.left, layout),
                                            kelvo::fit_into_canvas(frame.right, layout)),
                            layout);
    cv::Mat mask = frame.visible.clone();
    mask(cv::Rect(0, 0, backend.control("num_disparities"), mask.rows)).setTo(0);
    const auto score = kelvo::detail::score_disparity(map, frame.disparity, mask);
    return {score.wrong_2px_all, score.end_point_error_all, map};
}

TEST(StereoSGBM, DenserAndMoreAccurateThanBlockMatchingOnAKnownScene) {
    kelvo::StereoBMInference bm(HeightWidth{360, 640});
    StereoSGBMInference sgbm(HeightWidth{360, 640});
    const Scored b = on_the_scene(bm), s = on_the_scene(sgbm);
    EXPECT_LT(s.wrong_or_hole, 0.8 * b.wrong_or_hole) << "bm " << b.wrong_or_hole;
    EXPECT_LT(s.end_point_error, b.end_point_error);
}

// The right view's map, read where the left map points, agrees with the left
// map on most of the scene; the two are not the same map.
TEST(StereoSGBM, TheRightViewMatchesBackWhereTheLeftViewPoints) {
    StereoSGBMInference sgbm(HeightWidth{360, 640});
    const Scored left = on_the_scene(sgbm);
    const auto scene = kelvo::detail::default_synthetic_scene({360, 640});
    const auto frame = kelvo::detail::render_synthetic_frame(scene, 0);
    const auto layout = kelvo::fit_layout(scene.eye_size, {360, 640});
    const auto [both_left, canvas_right] = sgbm.compute_with_right_view(
        kelvo::fit_into_canvas(frame.left, layout), kelvo::fit_into_canvas(frame.right, layout));
    ASSERT_EQ(canvas_right.size(), cv::Size(640, 360));
    // The left map is the one `compute` gives.
    EXPECT_EQ(kelvo::testing::differing(kelvo::crop_to_valid(both_left, layout), left.map), 0);
    const cv::Mat right = kelvo::crop_to_valid(canvas_right, layout);
    int agree = 0, matched = 0;
    for (int y = 0; y < left.map.rows; ++y) {
        for (int x = 0; x < left.map.cols; ++x) {
            const float d = left.map.at<float>(y, x);
            if (std::isnan(d)) continue;
            const int xr = x - static_cast<int>(std::lround(d));
            if (xr < 0) continue;
            ++matched;
            agree += std::abs(right.at<float>(y, xr) - d) <= 1.0f;
        }
    }
    ASSERT_GT(matched, 0);
    EXPECT_GT(agree, 0.8 * matched);
    EXPECT_GT(cv::countNonZero(right != left.map), 0);
}

// A canvas narrower than the disparity search leaves nothing to match: a
// valid answer with every pixel a hole, never a crash; so does an empty
// scene, whatever the matcher makes of it.
TEST(StereoSGBM, NothingToMatchIsAnAnswerNotACrash) {
    const struct {
        const char* name;
        HeightWidth canvas;
        bool all_holes;
    } cases[] = {
        {"a canvas narrower than the search", {64, 80}, true},
        {"a blank pair", {256, 512}, false},
    };
    for (const auto& c : cases) {
        StereoSGBMInference sgbm(c.canvas);
        const cv::Mat blank(c.canvas.height, c.canvas.width, CV_8U, cv::Scalar(128));
        const auto [left, right] = sgbm.compute_with_right_view(blank, blank);
        const cv::Mat views[] = {left, right};
        for (int view = 0; view < 2; ++view) {
            SCOPED_TRACE(std::string(c.name) + (view == 0 ? "" : ", right view"));
            const cv::Mat& map = views[view];
            ASSERT_EQ(map.size(), blank.size());
            if (c.all_holes) {
                EXPECT_EQ(cv::countNonZero(map == map), 0);  // NaN everywhere
            }
            double lo = 0, hi = 0;
            cv::minMaxIdx(map, &lo, &hi, nullptr, nullptr, map == map);
            EXPECT_GE(lo, 0.0);
            EXPECT_LE(hi, 96.0);
        }
    }
}

TEST(StereoSGBM, ControlsOutsideTheirRangeAreRefusedByName) {
    StereoSGBMInference sgbm(HeightWidth{256, 512});
    const std::pair<const char*, int> bad[] = {
        {"block_size", 4}, {"block_size", 53}, {"num_disparities", 100}, {"mode", 3},
        {"p1", -1},        {"p2", 80001},      {"disp12_max_diff", -2},  {"texture_threshold", 1},
    };
    for (const auto& [name, value] : bad) {
        SCOPED_TRACE(std::string(name) + "=" + std::to_string(value));
        try {
            sgbm.set_inference_control(name, value);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(sgbm.control("block_size"), 3);
}

}  // namespace stereo_sgbm_test
