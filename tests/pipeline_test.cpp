// The frame pipeline on a test-double source of in-memory JPEG frames:
// rectification, canvas fit, disparity scale and depth against the synthetic
// ground truth; equality with OpenCV's StereoBM on the Middlebury Aloe pair;
// live control changes; the pass-through; bad input.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/log_capture.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::CalibrationPtr;
using kelvo::FramePacketPtr;
using kelvo::HeightWidth;
using kelvo::Json;
using kelvo::Pipeline;
using kelvo::PipelineOptions;
using kelvo::detail::render_synthetic_frame;
using kelvo::detail::score_disparity;
using kelvo::testing::CHAIN_OFF;
using kelvo::testing::differing;
using kelvo::testing::direct_stereo_bm;
using kelvo::testing::encode_jpeg;
using kelvo::testing::MemorySource;
using kelvo::testing::Params;

std::vector<FramePacketPtr> run_all(PipelineOptions options, double timeout_s = 60.0) {
    options.stop_at_end = true;
    options.block_when_full = true;
    Pipeline pipeline(std::move(options));
    pipeline.start();
    std::vector<FramePacketPtr> packets;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    while (std::chrono::steady_clock::now() < deadline) {
        auto packet = pipeline.get_packet(1.0);
        if (packet) {
            packets.push_back(packet);
        } else if (pipeline.is_finished()) {
            break;
        }
    }
    EXPECT_TRUE(pipeline.is_finished());
    pipeline.stop();
    return packets;
}

std::shared_ptr<MemorySource> synthetic_source(const kelvo::detail::SyntheticScene& scene,
                                               int frames, CalibrationPtr calibration) {
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < frames; ++i) {
        payloads.push_back(encode_jpeg(render_synthetic_frame(scene, i).side_by_side));
    }
    return std::make_shared<MemorySource>(std::move(payloads), 2 * scene.eye_size.width,
                                          scene.eye_size.height, calibration);
}

// Bounds that OpenCV's block matcher meets on the synthetic scene with room to
// spare, and that a wrong rectification, canvas fit or disparity scale misses
// by far (a 10% scale error alone gives 1.2 to 6 px on these planes).
constexpr double MAX_EPE_PX = 0.6;
constexpr double MAX_BAD_2PX = 0.04;
constexpr double MIN_VALID_SHARE = 0.7;

struct CanvasCase {
    const char* variant;
    HeightWidth canvas;
};

TEST(PipelineSynthetic, DisparityMatchesGroundTruthAtEveryCanvas) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    const CanvasCase cases[] = {
        {"256x512", {256, 512}}, {"360x640", {360, 640}}, {"480x720", {480, 720}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        auto packets = run_all({.source = synthetic_source(scene, 3, calibration),
                                .backend = "stereo-bm",
                                .variant = c.variant,
                                .controls = CHAIN_OFF});
        ASSERT_EQ(packets.size(), 3u);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            const auto& p = *packets[i];
            EXPECT_EQ(p.sequence, static_cast<std::int64_t>(i) + 1);
            EXPECT_EQ(p.pts_us, static_cast<std::int64_t>(i) * 33333);
            EXPECT_EQ(p.source_frame_idx, std::optional<std::int64_t>(i));
            // Canvas fit: the eye lies centred in the canvas, aspect kept.
            const auto expected = kelvo::fit_layout(scene.eye_size, c.canvas);
            EXPECT_EQ(p.layout.pad_x, expected.pad_x);
            EXPECT_EQ(p.layout.pad_y, expected.pad_y);
            EXPECT_EQ(p.layout.valid_w, expected.valid_w);
            EXPECT_EQ(p.layout.valid_h, expected.valid_h);
            EXPECT_TRUE(p.layout.valid_w == c.canvas.width || p.layout.valid_h == c.canvas.height);
            ASSERT_EQ(p.disparity.type(), CV_32F);
            ASSERT_EQ(p.disparity.rows, scene.eye_size.height);
            ASSERT_EQ(p.disparity.cols, scene.eye_size.width);
            const auto truth = render_synthetic_frame(scene, static_cast<int>(i));
            const auto s = score_disparity(p.disparity, truth.disparity, truth.visible);
            EXPECT_LT(s.end_point_error, MAX_EPE_PX);
            EXPECT_LT(s.bad_2px, MAX_BAD_2PX);
            EXPECT_GT(s.valid_share, MIN_VALID_SHARE);
            EXPECT_EQ(p.calibration, calibration);
            EXPECT_GT(p.timings.total_ms, 0.0);
            EXPECT_GT(p.timings.inference_ms, 0.0);
        }
    }
}

TEST(PipelineSynthetic, RightEyeIsBlackWhereItSeesPastTheBackground) {
    const auto scene = kelvo::detail::default_synthetic_scene({120, 160});
    const int hidden = static_cast<int>(std::ceil(scene.disparity_of(scene.planes.front())));
    ASSERT_GT(hidden, 0);
    // Dirty the allocator with bright pixels, so leftovers would show.
    for (int i = 0; i < 4; ++i) {
        cv::Mat junk(120, 160, CV_8UC3, cv::Scalar::all(255));
    }
    const auto frame = render_synthetic_frame(scene, 0);
    const cv::Mat strip = frame.right(cv::Rect(160 - hidden + 1, 0, hidden - 1, 120));
    EXPECT_EQ(cv::countNonZero(strip.reshape(1)), 0);
    const auto again = render_synthetic_frame(scene, 0);
    EXPECT_EQ(cv::norm(frame.side_by_side, again.side_by_side, cv::NORM_INF), 0.0);
}

TEST(PipelineSynthetic, DepthIsFocalTimesBaselineOverDisparity) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    auto packets =
        run_all({.source = synthetic_source(scene, 1, calibration), .variant = "360x640"});
    ASSERT_EQ(packets.size(), 1u);
    const auto& p = *packets[0];
    ASSERT_EQ(p.depth.size(), p.disparity.size());
    const auto rect = calibration->rectification(scene.eye_size);
    int checked = 0;
    for (int y = 0; y < p.depth.rows; y += 7) {
        for (int x = 0; x < p.depth.cols; x += 7) {
            const float d = p.disparity.at<float>(y, x);
            const float z = p.depth.at<float>(y, x);
            if (std::isfinite(d) && d > 0) {
                EXPECT_NEAR(z, rect->fx * rect->baseline_m / d, 1e-4 * z);
                ++checked;
            } else {
                EXPECT_TRUE(std::isnan(z));
            }
        }
    }
    EXPECT_GT(checked, 500);
    // The nearest board (0.5 m) comes out at its depth.
    const auto& board = scene.planes.back();
    cv::Mat centre = p.depth(cv::Rect(board.rect.x + 30, board.rect.y + 30, 50, 50)).clone();
    std::vector<float> values;
    for (int i = 0; i < static_cast<int>(centre.total()); ++i) {
        if (std::isfinite(centre.at<float>(i))) values.push_back(centre.at<float>(i));
    }
    ASSERT_GT(values.size(), 1000u);
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    EXPECT_NEAR(values[values.size() / 2], board.depth_m, 0.02 * board.depth_m);
}

// Rectification: raw eyes made by un-rectifying the synthetic pair with a
// calibration that has lens distortion and a rotation between the cameras
// come back as the synthetic pair, and the disparity is as accurate as on the
// rectified input.
TEST(PipelineSynthetic, RectifiesADistortedRotatedPair) {
    auto scene = kelvo::detail::default_synthetic_scene();
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::testing::distorted_rotated_calibration_dict(scene));
    const auto rect = calibration->rectification(scene.eye_size);
    // The synthetic pair is rendered with the rectified cameras' focal length.
    scene.focal_px = rect->fx;
    const auto truth = render_synthetic_frame(scene, 0);
    const auto unrectify = [&](const cv::Mat& rectified, bool right) {
        return kelvo::testing::unrectify(rectified, *calibration, *rect, right);
    };
    cv::Mat raw_l = unrectify(truth.left, false), raw_r = unrectify(truth.right, true), sbs;
    cv::hconcat(raw_l, raw_r, sbs);
    // The raw pair is really misaligned: rows differ by pixels near the edges.
    EXPECT_GT(cv::norm(raw_l, truth.left, cv::NORM_L1) / raw_l.total(), 20.0);

    auto source =
        std::make_shared<MemorySource>(std::vector<std::vector<std::uint8_t>>{encode_jpeg(sbs, 98)},
                                       sbs.cols, sbs.rows, calibration);
    auto packets = run_all({.source = source, .variant = "480x720"});
    ASSERT_EQ(packets.size(), 1u);
    const auto& p = *packets[0];
    const cv::Rect inner(40, 30, scene.eye_size.width - 80, scene.eye_size.height - 60);
    cv::Mat diff_l, diff_r;
    cv::absdiff(p.rectified_left(inner), truth.left(inner), diff_l);
    cv::absdiff(p.rectified_right(inner), truth.right(inner), diff_r);
    EXPECT_LT(cv::mean(diff_l)[0], 8.0);
    EXPECT_LT(cv::mean(diff_r)[0], 8.0);
    cv::Mat mask = truth.visible.clone();
    mask(cv::Rect(0, 0, mask.cols, 30)) = 0;
    mask(cv::Rect(0, mask.rows - 30, mask.cols, 30)) = 0;
    const auto s = score_disparity(p.disparity, truth.disparity, mask);
    EXPECT_LT(s.bad_2px, MAX_BAD_2PX);
    EXPECT_GT(s.valid_share, MIN_VALID_SHARE);
}

TEST(PipelineSynthetic, NewCalibrationRebuildsTheMaps) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto first =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    Json wider = kelvo::detail::synthetic_calibration_dict(scene);
    wider["T"][0] = -2 * scene.baseline_m;
    const auto second = kelvo::Calibration::from_dict(wider);
    auto source = synthetic_source(scene, 4, first);
    source->switch_calibration_at(2, second);
    auto packets = run_all({.source = source, .variant = "360x640"});
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0]->calibration, first);
    EXPECT_EQ(packets[1]->calibration, first);
    EXPECT_EQ(packets[2]->calibration, second);
    EXPECT_EQ(packets[3]->calibration, second);
    // Same images, twice the baseline: twice the depth.
    const cv::Point at(100, 100);
    const float d = packets[2]->disparity.at<float>(at);
    ASSERT_TRUE(std::isfinite(d));
    EXPECT_NEAR(packets[2]->depth.at<float>(at), 2 * scene.focal_px * scene.baseline_m / d, 1e-3);
}

// ---------------------------------------------------------------------------
// Middlebury Aloe: the pipeline equals OpenCV's StereoBM on the same pair.

struct AloeInput {
    cv::Mat sbs;        // decoded side-by-side image the pipeline sees
    cv::Mat grey_half;  // the same payload's luminance at half size (libjpeg's scaled decoding)
    HeightWidth eye;    // one eye's full size
    std::vector<std::uint8_t> jpeg;  // its payload
};

const AloeInput& aloe() {
    static const AloeInput input = [] {
        const auto dir = kelvo::testing::opencv_sample_dir();
        cv::Mat l = cv::imread((dir / "aloeL.jpg").string());
        cv::Mat r = cv::imread((dir / "aloeR.jpg").string());
        cv::Mat sbs;
        cv::hconcat(l, r, sbs);
        AloeInput in;
        in.jpeg = encode_jpeg(sbs, 95);
        in.sbs = cv::imdecode(in.jpeg, cv::IMREAD_COLOR);
        in.grey_half = cv::imdecode(in.jpeg, cv::IMREAD_REDUCED_GRAYSCALE_2);
        in.eye = {sbs.rows, sbs.cols / 2};
        return in;
    }();
    return input;
}

int invalid_count(const cv::Mat& m) {
    int n = 0;
    for (int i = 0; i < static_cast<int>(m.total()); ++i) n += std::isnan(m.at<float>(i)) ? 1 : 0;
    return n;
}

std::shared_ptr<MemorySource> aloe_source(int frames) {
    std::vector<std::vector<std::uint8_t>> payloads(frames, aloe().jpeg);
    return std::make_shared<MemorySource>(std::move(payloads), aloe().sbs.cols, aloe().sbs.rows);
}

// With colour eyes to hand out, the matcher sees the canvas-fitted colour
// pair made grey; without, the payload's luminance fitted into the canvas,
// decoded at half size as every canvas holds at most half the 1282x1110 eye.
TEST(PipelineAloe, EqualsOpenCVStereoBMOnTheCanvasFittedPair) {
    const CanvasCase cases[] = {
        {"256x512", {256, 512}}, {"360x640", {360, 640}}, {"480x720", {480, 720}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variant);
        auto grey =
            run_all({.source = aloe_source(1),
                     .variant = c.variant,
                     .controls = CHAIN_OFF,
                     .rectified_images = false});
        ASSERT_EQ(grey.size(), 1u);
        EXPECT_TRUE(grey[0]->rectified_left.empty());
        EXPECT_EQ(differing(grey[0]->disparity,
                            direct_stereo_bm(aloe().grey_half, c.canvas, Params{}, aloe().eye)),
                  0);
        auto packets =
            run_all({.source = aloe_source(1), .variant = c.variant, .controls = CHAIN_OFF});
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(
            differing(packets[0]->disparity, direct_stereo_bm(aloe().sbs, c.canvas, Params{})), 0);
        // Without a calibration the eyes are handed out as they came, and there is no depth.
        EXPECT_EQ(cv::norm(packets[0]->rectified_left,
                           aloe().sbs(cv::Rect(0, 0, aloe().sbs.cols / 2, aloe().sbs.rows)),
                           cv::NORM_INF),
                  0.0);
        EXPECT_TRUE(packets[0]->depth.empty());
        EXPECT_EQ(packets[0]->calibration, nullptr);
    }
}

TEST(PipelineAloe, ReasonablyCloseToTheGroundTruth) {
    auto packets = run_all({.source = aloe_source(1), .variant = "480x720"});
    ASSERT_EQ(packets.size(), 1u);
    // aloeGT.png holds full-size disparities; 0 = unknown.
    cv::Mat gt8 = cv::imread((kelvo::testing::opencv_sample_dir() / "aloeGT.png").string(),
                             cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(gt8.size(), packets[0]->disparity.size());
    cv::Mat gt;
    gt8.convertTo(gt, CV_32F);
    const auto s = score_disparity(packets[0]->disparity, gt, gt8 > 0);
    // Block matching on Aloe: most estimates within a few pixels (scaled back
    // to full size, one canvas pixel is ~1.8 px here).
    EXPECT_LT(s.bad_2px, 0.35);
    EXPECT_LT(s.end_point_error, 6.0);
    EXPECT_GT(s.valid_share, 0.4);
}

struct ControlCase {
    const char* control;
    int value;
    void (*apply)(Params&, int);
    int invalid_change;  // +1: more invalid pixels than with defaults, -1: fewer, 0: any change
};

const ControlCase CONTROL_CASES[] = {
    {"texture_threshold", 1200, [](Params& p, int v) { p.texture_threshold = v; }, +1},
    {"uniqueness_ratio", 45, [](Params& p, int v) { p.uniqueness_ratio = v; }, +1},
    {"disp12_max_diff", 0, [](Params& p, int v) { p.disp12_max_diff = v; }, +1},
    {"speckle_window_size", 0, [](Params& p, int v) { p.speckle_window_size = v; }, -1},
    {"block_size", 21, [](Params& p, int v) { p.block_size = v; }, 0},
    {"num_disparities", 160, [](Params& p, int v) { p.num_disparities = v; }, 0},
    {"pre_filter_type", 0, [](Params& p, int v) { p.pre_filter_type = v; }, 0},
    {"min_disparity", 16, [](Params& p, int v) { p.min_disparity = v; }, 0},
};

// Controls set while the pipeline runs take effect from the next frame and
// change the result exactly as they change OpenCV's.
TEST(PipelineAloe, ControlsChangedWhileRunningActAsInOpenCV) {
    auto source = aloe_source(static_cast<int>(std::size(CONTROL_CASES)) + 1);
    source->set_gated(true);
    // Not stop_at_end: the shut gate makes grabs come back empty between frames.
    Pipeline pipeline({.source = source,
                       .variant = "360x640",
                       .controls = CHAIN_OFF,
                       .block_when_full = true,
                       .rectified_images = false});
    pipeline.start();
    const HeightWidth canvas{360, 640};
    source->release();
    const auto base = pipeline.get_packet(30.0);
    ASSERT_TRUE(base);
    // 360x640 holds at most half the eye: the matcher sees the half-size decode.
    const cv::Mat default_result = direct_stereo_bm(aloe().grey_half, canvas, Params{}, aloe().eye);
    ASSERT_EQ(differing(base->disparity, default_result), 0);
    const int default_invalid = invalid_count(default_result);
    for (const auto& c : CONTROL_CASES) {
        SCOPED_TRACE(c.control);
        pipeline.set_inference_control(c.control, c.value);
        EXPECT_EQ(pipeline.inference_control(c.control), c.value);
        source->release();
        const auto packet = pipeline.get_packet(30.0);
        ASSERT_TRUE(packet);
        Params p;
        c.apply(p, c.value);
        const cv::Mat expected = direct_stereo_bm(aloe().grey_half, canvas, p, aloe().eye);
        EXPECT_EQ(differing(packet->disparity, expected), 0);
        EXPECT_GT(differing(packet->disparity, default_result), 1000);
        const int invalid = invalid_count(packet->disparity);
        if (c.invalid_change > 0) {
            EXPECT_GT(invalid, default_invalid);
        } else if (c.invalid_change < 0) {
            EXPECT_LT(invalid, default_invalid);
        }
        // Back to the default for the next case.
        for (const auto& spec : pipeline.inference_controls()) {
            if (spec.name == c.control)
                pipeline.set_inference_control(c.control, spec.default_value);
        }
    }
    EXPECT_EQ(pipeline.stats().frames_emitted,
              static_cast<std::int64_t>(std::size(CONTROL_CASES)) + 1);
    pipeline.stop();
}

// ---------------------------------------------------------------------------
// Pass-through, streams, statistics, lifecycle.

TEST(PipelinePassthrough, EmitsRectifiedEyesAndNoDisparity) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    kelvo::testing::LogCapture log("kelvo_camera_sdk.pipeline");
    Pipeline pipeline({.source = synthetic_source(scene, 5, calibration),
                       .backend = "rectify-passthrough",
                       .variant = "256x512",
                       .block_when_full = true,
                       .stop_at_end = true});
    EXPECT_EQ(pipeline.backend().label(), "rectify-passthrough (256x512)");
    pipeline.start();
    std::vector<FramePacketPtr> packets;
    while (auto p = pipeline.get_packet(10.0)) packets.push_back(p);
    ASSERT_EQ(packets.size(), 5u);
    for (const auto& p : packets) {
        EXPECT_TRUE(p->disparity.empty());
        EXPECT_TRUE(p->depth.empty());
        ASSERT_EQ(p->rectified_left.size(), cv::Size(640, 360));
        ASSERT_EQ(p->rectified_right.size(), cv::Size(640, 360));
        EXPECT_EQ(p->layout.valid_h, 256);
        EXPECT_EQ(p->calibration, calibration);
    }
    const auto stats = pipeline.stats();
    EXPECT_EQ(stats.frames_grabbed, 5);
    EXPECT_EQ(stats.frames_emitted, 5);
    EXPECT_EQ(stats.frames_failed, 0);  // submit/postprocess would have raised
    EXPECT_FALSE(log.contains("frame", spdlog::level::err));
    pipeline.stop();
}

TEST(PipelineStreams, DisabledStreamsAreAbsent) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    Pipeline pipeline({.source = synthetic_source(scene, 1, calibration),
                       .block_when_full = true,
                       .stop_at_end = true});
    pipeline.set_stream_enabled("rectified_right", false);
    pipeline.set_stream_enabled("depth", false);
    EXPECT_FALSE(pipeline.is_stream_enabled("depth"));
    EXPECT_TRUE(pipeline.is_stream_enabled("disparity"));
    EXPECT_THROW(pipeline.set_stream_enabled("point_cloud_xyz", true), std::invalid_argument);
    pipeline.start();
    const auto p = pipeline.get_packet(30.0);
    ASSERT_TRUE(p);
    EXPECT_FALSE(p->rectified_left.empty());
    EXPECT_TRUE(p->rectified_right.empty());
    EXPECT_FALSE(p->disparity.empty());
    EXPECT_TRUE(p->depth.empty());
    pipeline.stop();
}

TEST(PipelineLifecycle, OpensAndClosesTheSourceAndHandsOutThroughACallback) {
    auto source = aloe_source(4);
    std::atomic<int> called{0};
    {
        Pipeline pipeline({.source = source,
                           .queue_size = 0,
                           .on_packet =
                               [&](const FramePacketPtr& p) {
                                   if (p && !p->disparity.empty()) ++called;
                               },
                           .stop_at_end = true});
        EXPECT_FALSE(pipeline.camera_info().has_value());
        pipeline.start();
        EXPECT_THROW(pipeline.start(), kelvo::RuntimeError);
        EXPECT_TRUE(pipeline.wait_finished(60.0));
        EXPECT_FALSE(pipeline.is_running());
        EXPECT_EQ(pipeline.get_packet(0.1), nullptr);  // callback only
        ASSERT_TRUE(pipeline.camera_info().has_value());
        EXPECT_EQ(pipeline.camera_info()->width, aloe().sbs.cols);
        EXPECT_EQ(pipeline.get_pump_stats(), (std::pair<std::int64_t, std::int64_t>{1, 0}));
        const auto stats = pipeline.stats();
        EXPECT_EQ(stats.frames_emitted, 4);
        EXPECT_GT(stats.seconds, 0.0);
        EXPECT_GT(stats.fps, 0.0);
        pipeline.stop();
        pipeline.stop();
    }
    EXPECT_EQ(called.load(), 4);
    EXPECT_EQ(source->opens(), 1);
    EXPECT_EQ(source->closes(), 1);
}

TEST(PipelineLifecycle, FullQueueDropsTheOldestWhenNotBlocking) {
    Pipeline pipeline(
        {.source = aloe_source(6), .variant = "256x512", .queue_size = 2, .stop_at_end = true});
    pipeline.start();
    ASSERT_TRUE(pipeline.wait_finished(60.0));
    const auto stats = pipeline.stats();
    EXPECT_EQ(stats.frames_emitted, 6);
    EXPECT_EQ(stats.packets_dropped, 4);
    const auto first = pipeline.get_packet(0.1);
    const auto second = pipeline.get_packet(0.1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->sequence, 5);
    EXPECT_EQ(second->sequence, 6);
    EXPECT_EQ(pipeline.get_packet(0.1), nullptr);
}

TEST(PipelineLifecycle, StopWhileRunningOnAnEndlessSource) {
    auto source = aloe_source(1000);
    Pipeline pipeline({.source = source, .variant = "256x512"});
    pipeline.start();
    ASSERT_TRUE(pipeline.get_packet(30.0));
    EXPECT_TRUE(pipeline.is_running());
    const auto t0 = std::chrono::steady_clock::now();
    pipeline.stop();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 3.0);
    EXPECT_FALSE(pipeline.is_running());
    EXPECT_EQ(source->closes(), 1);
}

TEST(PipelineLifecycle, AnAbsentGrabEndsTheRunOnlyAtTheSourcesEnd) {
    // The shut gate makes grabs time out between frames; only the grab after
    // the last frame, when the source reports its end, ends the run.
    auto source = aloe_source(3);
    source->set_gated(true);
    Pipeline pipeline({.source = source,
                       .variant = "256x512",
                       .block_when_full = true,
                       .stop_at_end = true,
                       .grab_timeout_s = 0.02});
    pipeline.start();
    for (int i = 1; i <= 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // several empty grabs
        EXPECT_FALSE(pipeline.is_finished());
        source->release();
        const auto packet = pipeline.get_packet(30.0);
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->sequence, i);
    }
    EXPECT_TRUE(pipeline.wait_finished(30.0));
    EXPECT_EQ(pipeline.stats().frames_emitted, 3);
    pipeline.stop();
}

TEST(PipelineLifecycle, StopFromThePacketCallbackDoesNotWaitForItself) {
    auto source = aloe_source(1000);
    Pipeline* self = nullptr;
    std::atomic<double> took{-1.0};
    Pipeline pipeline(
        {.source = source,
         .variant = "256x512",
         .queue_size = 0,
         .on_packet = [&](const FramePacketPtr&) {
             if (took.load() >= 0) return;
             const auto t0 = std::chrono::steady_clock::now();
             self->stop();  // on the hand-out thread
             took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
         }});
    self = &pipeline;
    pipeline.start();
    ASSERT_TRUE(pipeline.wait_finished(30.0));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (took.load() < 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(took.load(), 0.0);
    EXPECT_LT(took.load(), 1.0);  // not the 2 s limit spent waiting for its own thread
    EXPECT_FALSE(pipeline.is_running());
    EXPECT_EQ(source->closes(), 1);
}

/// A host's recording controller that looks at the pipeline while it is asked
/// whether it records: it must not find the pipeline locked.
class ReentrantController final : public kelvo::RecordingController {
  public:
    ReentrantController(const Pipeline& pipeline, bool running)
        : _pipeline(pipeline), _running(running) {}
    bool is_running() const override {
        (void)_pipeline.recording_controller();
        (void)_pipeline.camera_info();
        return _running;
    }
    bool is_paused() const override { return false; }
    void pause() override {}
    void resume() override {}
    std::optional<kelvo::RecordingStatus> status() const override { return std::nullopt; }
    void start(const std::filesystem::path&, kelvo::RecordingStartArgs) override {}
    kelvo::RecordingResult stop() override { return {}; }
    void feed_worker_rate(const kelvo::FramePtr&) override {}
    void write_calibration_update(const Json&, std::int64_t) override {}

  private:
    const Pipeline& _pipeline;
    bool _running;
};

TEST(PipelineRecordingController, IsAskedWithoutThePipelineLocked) {
    struct Case {
        bool running;
        bool replaced;
    };
    for (const Case& c : {Case{false, true}, Case{true, false}}) {
        SCOPED_TRACE(c.running ? "recording" : "idle");
        auto pipeline = std::make_shared<Pipeline>(PipelineOptions{.source = aloe_source(1)});
        auto held = std::make_shared<ReentrantController>(*pipeline, c.running);
        pipeline->set_recording_controller(held);
        // On a thread of its own, so a deadlock fails the test instead of hanging it.
        auto outcome = std::make_shared<std::promise<std::string>>();
        auto done = outcome->get_future();
        std::thread([pipeline, outcome] {
            try {
                pipeline->set_recording_controller(nullptr);
                outcome->set_value("replaced");
            } catch (const kelvo::RuntimeError& e) {
                outcome->set_value(e.what());
            }
        }).detach();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_EQ(done.get(), c.replaced ? "replaced" : "recording already in progress");
        EXPECT_EQ(pipeline->recording_controller() == nullptr, c.replaced);
    }
}

// ---------------------------------------------------------------------------
// Bad input.

TEST(PipelineBadInput, UnknownBackendVariantOrControlFailsConstruction) {
    auto source = aloe_source(1);
    struct Case {
        PipelineOptions options;
        const char* message_part;
    };
    std::vector<Case> cases;
    cases.push_back({{.source = source, .backend = "no-such-backend"},
                     "unknown inference back-end 'no-such-backend'"});
    cases.push_back({{.source = source, .variant = "999x999"}, "unknown variant '999x999'"});
    cases.push_back({{.source = source, .controls = {{"no_such_control", 1}}},
                     "unknown control no_such_control"});
    cases.push_back({{.source = source, .controls = {{"block_size", 4}}},
                     "control block_size must be within 5..51"});
    cases.push_back({{.source = source, .controls = {{"num_disparities", 20}}},
                     "control num_disparities must be 16 plus a multiple of 16"});
    cases.push_back({{.source = nullptr}, "Pipeline needs a source"});
    for (auto& c : cases) {
        SCOPED_TRACE(c.message_part);
        try {
            Pipeline pipeline(c.options);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(source->opens(), 0);
}

TEST(PipelineBadInput, UndecodableFramesAreSkippedCountedAndLogged) {
    kelvo::testing::LogCapture log("kelvo_camera_sdk.pipeline");
    std::vector<std::vector<std::uint8_t>> payloads = {
        aloe().jpeg, {0xFF, 0xD8, 0x00, 0x13}, aloe().jpeg, {}, aloe().jpeg};
    auto source =
        std::make_shared<MemorySource>(std::move(payloads), aloe().sbs.cols, aloe().sbs.rows);
    auto packets = run_all({.source = source, .variant = "256x512"});
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0]->sequence, 1);
    EXPECT_EQ(packets[1]->sequence, 3);
    EXPECT_EQ(packets[2]->sequence, 5);
    EXPECT_EQ(log.count("frame 2 does not decode (skipped)", spdlog::level::warn), 1u);
    EXPECT_EQ(log.count("frame 4 does not decode (skipped)", spdlog::level::warn), 1u);
}

TEST(PipelineBadInput, AFailureRepeatedOnEveryFrameIsLoggedOnceWithACount) {
    kelvo::testing::LogCapture log("kelvo_camera_sdk.pipeline");
    std::vector<std::vector<std::uint8_t>> payloads(5, std::vector<std::uint8_t>{1, 2, 3});
    payloads.push_back(aloe().jpeg);
    auto source =
        std::make_shared<MemorySource>(std::move(payloads), aloe().sbs.cols, aloe().sbs.rows);
    auto packets = run_all({.source = source, .variant = "256x512"});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(log.count("frame 1 does not decode (skipped)", spdlog::level::warn), 1u);
    EXPECT_EQ(log.count("frame", spdlog::level::warn), 1u);
    EXPECT_EQ(log.count("4 more frames did not decode for the same reason (skipped)",
                        spdlog::level::warn),
              1u);
}

TEST(PipelineBadInput, UndecodableFramesAreCountedInStats) {
    std::vector<std::vector<std::uint8_t>> payloads = {{1, 2, 3}, aloe().jpeg};
    auto source =
        std::make_shared<MemorySource>(std::move(payloads), aloe().sbs.cols, aloe().sbs.rows);
    Pipeline pipeline({.source = source, .variant = "256x512", .stop_at_end = true});
    pipeline.start();
    ASSERT_TRUE(pipeline.wait_finished(60.0));
    const auto stats = pipeline.stats();
    EXPECT_EQ(stats.frames_grabbed, 2);
    EXPECT_EQ(stats.frames_undecodable, 1);
    EXPECT_EQ(stats.frames_emitted, 1);
}

TEST(PipelineBadInput, MissingCalibrationIsReportedOnce) {
    kelvo::testing::LogCapture log("kelvo_camera_sdk.pipeline");
    auto packets = run_all({.source = aloe_source(3), .variant = "256x512"});
    EXPECT_EQ(packets.size(), 3u);
    EXPECT_EQ(log.count("source has no calibration: running on the unrectified pair",
                        spdlog::level::warn),
              1u);
}

}  // namespace
