// Depth Anything in the frame pipeline: the two-file model found by the
// model-file lookup, the left eye fitted into the 518 x 518 canvas, the
// network's relative depth cropped, adjusted by the user's scale and mapped
// back to the eye.
#include <gtest/gtest.h>

#include <filesystem>

#include "neural_pipeline_run.hpp"

namespace depth_anything_pipeline_test {

namespace fs = std::filesystem;

// The test network on the ImageNet-normalised canvas:
// 0.5 r - 0.25 g + 2 b + 0.1.
cv::Mat network_depth(const cv::Mat& canvas) {
    cv::Mat as_float;
    canvas.convertTo(as_float, CV_32F);
    std::vector<cv::Mat> bgr;
    cv::split(as_float, bgr);
    const cv::Mat r = (bgr[2] - 123.675) / 58.395;
    const cv::Mat g = (bgr[1] - 116.28) / 57.12;
    const cv::Mat b = (bgr[0] - 103.53) / 57.375;
    return r * 0.5 - g * 0.25 + b * 2.0 + 0.1;
}

TEST(DepthAnythingPipeline, RelativeDepthOfTheLeftEye) {
    const fs::path models = fs::path(KELVO_BACKEND_MODELS_DIR) / "depth_anything";
    const auto run = kelvo::testing::run_neural_pipeline(
        "depth-anything-v2-small",
        {{"depth_anything_v2_small_518x518_onnx", "model.onnx", models / "model.onnx"},
         {"depth_anything_v2_small_518x518_onnx_data", "model.onnx_data",
          models / "model.onnx_data"}},
        2, {{"depth_scale_milli", 3000}});
    const auto& packets = run.packets;
    EXPECT_EQ(run.frames_failed, 0);
    ASSERT_EQ(packets.size(), 2u);

    for (const auto& packet : packets) {
        const kelvo::CanvasLayout& layout = packet->layout;
        ASSERT_EQ(layout.canvas_w, 518);
        const cv::Mat canvas = kelvo::fit_into_canvas(packet->rectified_left, layout);
        const cv::Mat valid = network_depth(canvas)(
            cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
        const cv::Mat want = kelvo::map_to_source(valid * 3.0, layout, false);
        ASSERT_EQ(packet->depth.size(), cv::Size(640, 360));
        // Values span about -6 to 7, times 3; bfloat16 on some CPUs stays within 0.3.
        EXPECT_LT(cv::norm(packet->depth, want, cv::NORM_INF), 0.3);
    }
}

}  // namespace depth_anything_pipeline_test
