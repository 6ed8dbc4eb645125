// Metric3D in the frame pipeline: the rectified left eye fitted into the
// 504 x 504 canvas, the network's depth cropped to the valid region,
// rescaled by the rectified camera's focal length as it lies in the canvas,
// and mapped back to the eye.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "neural_pipeline_run.hpp"

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
    const auto run = kelvo::testing::run_neural_pipeline(
        "metric3d-v2-vit-small",
        {{"metric3d_v2_vit_small_504x504", "model.onnx",
          fs::path(KELVO_BACKEND_MODELS_DIR) / "metric3d.onnx"}},
        3);
    const auto& packets = run.packets;
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(run.frames_failed, 0);

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
