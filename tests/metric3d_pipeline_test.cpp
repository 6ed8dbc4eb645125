// Metric3D in the frame pipeline: the rectified left eye fitted into the
// 504 x 504 canvas, the network's depth cropped to the valid region,
// rescaled by the rectified camera's focal length as it lies in the canvas,
// and mapped back to the eye.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "kelvo/cache_dir.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace {

namespace fs = std::filesystem;

// What the test network computes: 0.01 * mean over channels + 0.5.
cv::Mat network_depth(const cv::Mat& canvas) {
    cv::Mat as_float;
    canvas.convertTo(as_float, CV_32F);
    std::vector<cv::Mat> channels;
    cv::split(as_float, channels);
    return (channels[0] + channels[1] + channels[2]) * (0.01 / 3.0) + 0.5;
}

TEST(Metric3DPipeline, DepthOfTheLeftEyeRescaledByTheCanvasFocalLength) {
    kelvo::testing::TempDir cache("metric3d-pipeline-cache");
    kelvo::set_cache_dir(cache.path());
    const fs::path folder = cache.path() / "models" / "metric3d_v2_vit_small_504x504";
    fs::create_directories(folder);
    fs::copy_file(fs::path(KELVO_BACKEND_MODELS_DIR) / "metric3d.onnx", folder / "model.onnx");

    const auto scene = kelvo::detail::default_synthetic_scene({360, 640});
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < 3; ++i) {
        payloads.push_back(kelvo::testing::encode_jpeg(
            kelvo::detail::render_synthetic_frame(scene, i).side_by_side));
    }
    auto source =
        std::make_shared<kelvo::testing::MemorySource>(std::move(payloads), 1280, 360, calibration);

    kelvo::PipelineOptions options;
    options.source = source;
    options.backend = "metric3d-v2-vit-small";
    options.engine.do_models_cache = false;
    options.stop_at_end = true;
    options.block_when_full = true;
    kelvo::Pipeline pipeline(std::move(options));
    pipeline.start();
    std::vector<kelvo::FramePacketPtr> packets;
    while (auto packet = pipeline.get_packet(60.0)) packets.push_back(packet);
    EXPECT_TRUE(pipeline.wait_finished(60.0));
    pipeline.stop();
    kelvo::set_cache_dir({});
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(pipeline.stats().frames_failed, 0);

    for (const auto& packet : packets) {
        SCOPED_TRACE(packet->sequence);
        const kelvo::CanvasLayout& layout = packet->layout;
        ASSERT_EQ(layout.canvas_w, 504);
        ASSERT_EQ(layout.canvas_h, 504);
        ASSERT_FALSE(packet->rectified_left.empty());
        ASSERT_EQ(packet->depth.size(), cv::Size(640, 360));
        ASSERT_TRUE(packet->calibration);
        const auto rect = packet->calibration->rectification({360, 640});
        const double focal = std::sqrt(rect->fx * layout.scale * rect->fy * layout.scale);
        const double scale = focal / 1000.0;
        ASSERT_LT(scale, 0.9);  // far enough from 1 that a missing rescale shows

        const cv::Mat canvas = kelvo::fit_into_canvas(packet->rectified_left, layout);
        const cv::Mat valid = network_depth(canvas)(
            cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
        const cv::Mat want = kelvo::map_to_source(valid * scale, layout, false);
        // bfloat16 arithmetic on some CPUs: about 1 % of depths below 3.1 m.
        EXPECT_LT(cv::norm(packet->depth, want, cv::NORM_INF), 0.03);
        EXPECT_GT(cv::norm(packet->depth, kelvo::map_to_source(valid, layout, false), cv::NORM_INF),
                  0.2);
    }
}

}  // namespace
