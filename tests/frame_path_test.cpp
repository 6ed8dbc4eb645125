// The frame path's cheap route against the two-step one it replaced: grey
// decoding (JPEG luminance, reduced JPEG, YUYV's Y plane) against a colour
// decode made grey; one remap from camera pixels to the canvas against a
// full-size rectification then a canvas fit; and the pipeline's disparity on
// the Aloe pair and the synthetic scene against the two-step path computed
// here with OpenCV, within the interpolation difference.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::HeightWidth;
using kelvo::detail::render_synthetic_frame;
using kelvo::detail::score_disparity;
using kelvo::testing::encode_jpeg;

double max_abs_diff(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a, b, cv::NORM_INF);
}

double mean_abs_diff(const cv::Mat& a, const cv::Mat& b) {
    return cv::norm(a, b, cv::NORM_L1) / static_cast<double>(a.total() * a.channels());
}

cv::Mat synthetic_sbs(HeightWidth eye) {
    return render_synthetic_frame(kelvo::detail::default_synthetic_scene(eye), 0).side_by_side;
}

// ---------------------------------------------------------------------------
// Decoding to grey.

TEST(FramePathDecode, JpegLuminanceIsTheGreyOfTheColourDecode) {
    const auto jpeg = encode_jpeg(synthetic_sbs({120, 160}), 95);
    const cv::Mat grey = kelvo::decode_to_grey("MJPG", jpeg, 320, 120);
    cv::Mat old;
    cv::cvtColor(kelvo::decode_to_bgr("MJPG", jpeg, 320, 120), old, cv::COLOR_BGR2GRAY);
    ASSERT_EQ(grey.type(), CV_8UC1);
    ASSERT_EQ(grey.size(), old.size());
    // Only rounding apart (the colour decode rounds R, G and B first).
    EXPECT_LE(max_abs_diff(grey, old), 2.0);
}

TEST(FramePathDecode, ReducedJpegIsTheAreaAverageOfTheFullOne) {
    const cv::Mat sbs = synthetic_sbs({240, 320});
    const auto jpeg = encode_jpeg(sbs, 95);
    cv::Mat full;
    cv::cvtColor(sbs, full, cv::COLOR_BGR2GRAY);
    for (const int r : {2, 4, 8}) {
        SCOPED_TRACE(r);
        const cv::Mat reduced = kelvo::decode_to_grey("MJPG", jpeg, 640, 240, r);
        ASSERT_EQ(reduced.size(), cv::Size(640 / r, 240 / r));
        cv::Mat area;
        cv::resize(full, area, reduced.size(), 0, 0, cv::INTER_AREA);
        EXPECT_LT(mean_abs_diff(reduced, area), 3.0);
    }
    // A stream of another size is refused as the colour decode refuses it.
    EXPECT_THROW(kelvo::decode_to_grey("MJPG", jpeg, 320, 240, 2), kelvo::RuntimeError);
    EXPECT_THROW(kelvo::decode_to_grey("MJPG", jpeg, 640, 240, 3), std::invalid_argument);
}

TEST(FramePathDecode, YuyvLumaIsTheGreyOfItsBgrConversion) {
    // Luma over the whole video range, chroma moderate (strong chroma clips
    // R, G or B in the colour conversion and so changes its grey).
    const int w = 64, h = 16;
    std::vector<std::uint8_t> yuyv(static_cast<std::size_t>(w) * h * 2);
    for (int i = 0; i < w * h; ++i) {
        yuyv[2 * i] = static_cast<std::uint8_t>(40 + (i * 37) % 180);
        yuyv[2 * i + 1] = static_cast<std::uint8_t>(112 + (i * 13) % 32);
    }
    const cv::Mat grey = kelvo::decode_to_grey("YUYV", yuyv, w, h, 4);  // never reduced
    cv::Mat old;
    cv::cvtColor(kelvo::decode_to_bgr("YUYV", yuyv, w, h), old, cv::COLOR_BGR2GRAY);
    ASSERT_EQ(grey.size(), cv::Size(w, h));
    EXPECT_LE(max_abs_diff(grey, old), 2.0);
    EXPECT_THROW(kelvo::decode_to_grey("YUYV", yuyv, w, h + 1), kelvo::RuntimeError);
}

// ---------------------------------------------------------------------------
// One remap from camera pixels to the canvas.

TEST(FramePathCanvasMaps, IdentityRectificationAtCanvasSizeCopiesTheEye) {
    const auto scene = kelvo::detail::default_synthetic_scene({360, 640});
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    const auto rect = calibration->rectification(scene.eye_size);
    const auto layout = kelvo::fit_layout(scene.eye_size, {360, 640});
    const auto maps = kelvo::canvas_maps(*rect, layout);
    cv::Mat grey;
    cv::cvtColor(render_synthetic_frame(scene, 0).left, grey, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(max_abs_diff(maps.fit(grey, false), grey), 0.0);
}

struct MapCase {
    HeightWidth canvas;
    int reduction;
};

// The single remap and the two-step path (rectify at full size, then fit into
// the canvas) sample the same points; only their interpolation differs.
TEST(FramePathCanvasMaps, OneRemapMatchesRectifyThenFit) {
    const auto scene = kelvo::detail::default_synthetic_scene({360, 640});
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::testing::distorted_rotated_calibration_dict(scene));
    const auto rect = calibration->rectification(scene.eye_size);
    const auto truth = render_synthetic_frame(scene, 0);
    const cv::Mat raw = kelvo::testing::unrectify(truth.right, *calibration, *rect, true);
    cv::Mat grey;
    cv::cvtColor(raw, grey, cv::COLOR_BGR2GRAY);
    const MapCase cases[] = {
        {{256, 512}, 1}, {{360, 640}, 1}, {{480, 720}, 1}, {{120, 160}, 2}, {{90, 160}, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.canvas.height << "x" << c.canvas.width << " /" << c.reduction);
        const auto layout = kelvo::fit_layout(scene.eye_size, c.canvas);
        cv::Mat two_step;
        cv::cvtColor(kelvo::fit_into_canvas(rect->rectify(raw, true), layout), two_step,
                     cv::COLOR_BGR2GRAY);
        cv::Mat input = grey;
        if (c.reduction > 1) {
            cv::resize(grey, input, grey.size() / c.reduction, 0, 0, cv::INTER_AREA);
        }
        const cv::Mat one = kelvo::canvas_maps(*rect, layout, c.reduction).fit(input, true);
        ASSERT_EQ(one.size(), two_step.size());
        // Black letterbox bars stay black.
        if (layout.pad_y > 0) {
            EXPECT_EQ(cv::countNonZero(one.row(0)), 0);
        }
        if (layout.pad_x > 0) {
            EXPECT_EQ(cv::countNonZero(one.col(0)), 0);
        }
        // A shifted sampling grid would differ by far more on this texture.
        const cv::Rect inner(layout.pad_x + layout.valid_w / 10, layout.pad_y + layout.valid_h / 10,
                             layout.valid_w * 8 / 10, layout.valid_h * 8 / 10);
        EXPECT_LT(mean_abs_diff(one(inner), two_step(inner)), 6.0);
    }
}

// ---------------------------------------------------------------------------
// The pipeline against the two-step path, on real and synthetic scenes.

/// The disparity the two-step path gives: colour decode, rectification of
/// both eyes at full size, canvas fit, grey, StereoBM.
cv::Mat two_step_disparity(const std::vector<std::uint8_t>& jpeg, kelvo::CalibrationPtr calibration,
                           HeightWidth canvas) {
    const cv::Mat bgr = cv::imdecode(jpeg, cv::IMREAD_COLOR);
    const int w = bgr.cols / 2;
    cv::Mat l = bgr(cv::Rect(0, 0, w, bgr.rows)), r = bgr(cv::Rect(w, 0, w, bgr.rows)), sbs;
    if (calibration) {
        const auto rect = calibration->rectification({bgr.rows, w});
        cv::remap(l, l, rect->map_left_x, rect->map_left_y, cv::INTER_LINEAR);
        cv::remap(r, r, rect->map_right_x, rect->map_right_y, cv::INTER_LINEAR);
    }
    cv::hconcat(l, r, sbs);
    return kelvo::testing::direct_stereo_bm(sbs, canvas, {});
}

struct SceneCase {
    const char* name;
    std::vector<std::uint8_t> jpeg;
    kelvo::CalibrationPtr calibration;
    cv::Mat truth, mask;
};

SceneCase aloe_case() {
    const auto dir = kelvo::testing::opencv_sample_dir();
    cv::Mat sbs;
    cv::hconcat(cv::imread((dir / "aloeL.jpg").string()), cv::imread((dir / "aloeR.jpg").string()),
                sbs);
    cv::Mat gt8 = cv::imread((dir / "aloeGT.png").string(), cv::IMREAD_GRAYSCALE), gt;
    gt8.convertTo(gt, CV_32F);
    return {"aloe", encode_jpeg(sbs, 95), nullptr, gt, gt8 > 0};
}

/// The synthetic scene seen through a distorted, rotated pair of cameras.
SceneCase synthetic_case(const char* name, HeightWidth eye) {
    auto scene = kelvo::detail::default_synthetic_scene(eye);
    auto calibration =
        kelvo::Calibration::from_dict(kelvo::testing::distorted_rotated_calibration_dict(scene));
    const auto rect = calibration->rectification(eye);
    scene.focal_px = rect->fx;
    const auto truth = render_synthetic_frame(scene, 0);
    cv::Mat sbs;
    cv::hconcat(kelvo::testing::unrectify(truth.left, *calibration, *rect, false),
                kelvo::testing::unrectify(truth.right, *calibration, *rect, true), sbs);
    // Rows near the top and bottom edge see past the distorted image.
    cv::Mat mask = truth.visible.clone();
    const int band = eye.height / 12;
    mask(cv::Rect(0, 0, mask.cols, band)) = 0;
    mask(cv::Rect(0, mask.rows - band, mask.cols, band)) = 0;
    return {name, encode_jpeg(sbs, 95), calibration, truth.disparity, mask};
}

/// The packet of `c`'s one frame through a pipeline with `options` (its
/// source and run-to-the-end settings are set here).
kelvo::FramePacketPtr run_one(const SceneCase& c, kelvo::PipelineOptions options) {
    const cv::Mat decoded = cv::imdecode(c.jpeg, cv::IMREAD_GRAYSCALE);
    options.source = std::make_shared<kelvo::testing::MemorySource>(
        std::vector<std::vector<std::uint8_t>>{c.jpeg}, decoded.cols, decoded.rows, c.calibration);
    options.block_when_full = true;
    options.stop_at_end = true;
    kelvo::Pipeline pipeline(std::move(options));
    pipeline.start();
    auto packet = pipeline.get_packet(60.0);
    pipeline.stop();
    return packet;
}

TEST(FramePathPipeline, ScoresEqualTheTwoStepPathWithinInterpolation) {
    const SceneCase scenes[] = {aloe_case(), synthetic_case("synthetic 1280x360", {360, 640}),
                                synthetic_case("synthetic 2560x720", {720, 1280})};
    const std::pair<const char*, HeightWidth> canvases[] = {
        {"256x512", {256, 512}}, {"360x640", {360, 640}}, {"480x720", {480, 720}}};
    for (const auto& scene : scenes) {
        // The 2560x720 pair is decoded at half size for the 256x512 canvas.
        for (const auto& [variant, canvas] : canvases) {
            SCOPED_TRACE(testing::Message() << scene.name << " at " << variant);
            const auto old = score_disparity(
                two_step_disparity(scene.jpeg, scene.calibration, canvas), scene.truth, scene.mask);
            for (const bool colour : {false, true}) {
                SCOPED_TRACE(colour ? "with colour eyes" : "grey only");
                const auto packet =
                    run_one(scene, {.variant = variant,
                                    .controls = {{"post_chain", 0}},
                                    .rectified_images = colour});
                ASSERT_TRUE(packet);
                EXPECT_EQ(packet->rectified_left.empty(), !colour);
                ASSERT_EQ(packet->disparity.size(), scene.truth.size());
                const auto now = score_disparity(packet->disparity, scene.truth, scene.mask);
                EXPECT_NEAR(now.bad_2px, old.bad_2px, 0.002);
                EXPECT_NEAR(now.valid_share, old.valid_share, 0.01);
            }
        }
    }
}

TEST(FramePathPipeline, PassthroughHandsOutTheEyesEvenWithoutTheOption) {
    const auto c = synthetic_case("synthetic", {120, 160});
    auto source = std::make_shared<kelvo::testing::MemorySource>(
        std::vector<std::vector<std::uint8_t>>{c.jpeg}, 320, 120, c.calibration);
    kelvo::Pipeline pipeline({.source = source,
                              .backend = "rectify-passthrough",
                              .block_when_full = true,
                              .stop_at_end = true,
                              .rectified_images = false});
    pipeline.start();
    const auto packet = pipeline.get_packet(30.0);
    pipeline.stop();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->rectified_left.size(), cv::Size(160, 120));
    EXPECT_EQ(packet->rectified_right.size(), cv::Size(160, 120));
}

/// Eyes made smaller for display are the whole rectified eyes resized, and
/// the maps do not change with them.
TEST(FramePathPipeline, ShrunkEyesAreTheWholeEyesResized) {
    struct Case {
        const char* name;
        SceneCase scene;
        const char* backend;
        int width;
        cv::Size expected;  ///< of each eye
    };
    const Case cases[] = {
        {"calibrated, a third",
         synthetic_case("synthetic", {360, 640}),
         "stereo-bm",
         213,
         {213, 120}},
        {"calibrated, 528 px",
         synthetic_case("synthetic", {360, 640}),
         "stereo-bm",
         528,
         {528, 297}},
        {"calibrated, wider than the eye",
         synthetic_case("synthetic", {360, 640}),
         "stereo-bm",
         900,
         {640, 360}},
        {"no calibration", aloe_case(), "stereo-bm", 300, {300, 0}},
        {"pass-through",
         synthetic_case("synthetic", {360, 640}),
         "rectify-passthrough",
         320,
         {320, 180}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = [&](int width) {
            return run_one(c.scene, {.backend = c.backend, .rectified_width = width});
        };
        const auto whole = run(0), shrunk = run(c.width);
        ASSERT_TRUE(whole && shrunk);
        const cv::Size eye = whole->rectified_left.size();
        const cv::Size expected(
            c.expected.width, c.expected.height > 0
                                  ? c.expected.height
                                  : static_cast<int>(std::lround(eye.height * c.width /
                                                                 static_cast<double>(eye.width))));
        for (const bool right : {false, true}) {
            SCOPED_TRACE(right ? "right" : "left");
            const cv::Mat& small = right ? shrunk->rectified_right : shrunk->rectified_left;
            ASSERT_EQ(small.size(), expected);
            cv::Mat resized;
            cv::resize(right ? whole->rectified_right : whole->rectified_left, resized, expected, 0,
                       0, cv::INTER_AREA);
            // Rows at the edges see past the distorted image either way.
            const cv::Rect inner(0, expected.height / 10, expected.width, expected.height * 8 / 10);
            EXPECT_LT(mean_abs_diff(small(inner), resized(inner)), 6.0);
        }
        if (!whole->disparity.empty()) {
            EXPECT_EQ(cv::norm(shrunk->disparity, whole->disparity, cv::NORM_INF), 0.0);
        }
    }
}

TEST(FramePathPipeline, ANegativeEyeWidthIsRefused) {
    const auto c = synthetic_case("synthetic", {120, 160});
    auto source = std::make_shared<kelvo::testing::MemorySource>(
        std::vector<std::vector<std::uint8_t>>{c.jpeg}, 320, 120, c.calibration);
    EXPECT_THROW(kelvo::Pipeline({.source = source, .rectified_width = -1}), std::invalid_argument);
    kelvo::Pipeline pipeline({.source = source});
    EXPECT_THROW(pipeline.set_rectified_width(-2), std::invalid_argument);
    pipeline.set_rectified_width(64);
    EXPECT_EQ(pipeline.rectified_width(), 64);
}

}  // namespace
