// The CREStereo back-ends in the frame pipeline: both rectified eyes fitted
// into the variant's canvas, the network's horizontal flow cropped to the
// valid region and mapped back to the eye as disparity in eye pixels.
#include <gtest/gtest.h>

#include <filesystem>

#include <opencv2/imgproc.hpp>

#include "neural_pipeline_run.hpp"

namespace crestereo_pipeline_test {

namespace fs = std::filesystem;

// Mean over the channels of an 8-bit BGR image, as float.
cv::Mat channel_mean(const cv::Mat& image) {
    cv::Mat as_float;
    image.convertTo(as_float, CV_32F);
    std::vector<cv::Mat> channels;
    cv::split(as_float, channels);
    return (channels[0] + channels[1] + channels[2]) / 3.0;
}

double image_mean(const cv::Mat& image) {
    return cv::mean(channel_mean(image))[0];
}

std::vector<kelvo::FramePacketPtr> run(const std::string& key, const char* model,
                                       const std::string& slug, const std::string& name) {
    auto run = kelvo::testing::run_neural_pipeline(
        key, {{slug, name, fs::path(KELVO_BACKEND_MODELS_DIR) / model}}, 2);
    EXPECT_EQ(run.frames_failed, 0);
    return run.packets;
}

// The packet's disparity against the canvas map `expected`, cropped and
// mapped back as the pipeline does (nearest, values times eye / valid width).
void expect_disparity(const kelvo::FramePacket& packet, const cv::Mat& expected) {
    const kelvo::CanvasLayout& layout = packet.layout;
    const cv::Mat valid =
        expected(cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
    const cv::Mat want = kelvo::map_to_source(valid, layout, true);
    ASSERT_EQ(packet.disparity.size(), cv::Size(640, 360));
    // bfloat16 arithmetic on some CPUs: within 2 canvas pixels of values up
    // to 255, times the eye-to-canvas width ratio.
    const double ratio = 640.0 / layout.valid_w;
    EXPECT_LT(cv::norm(packet.disparity, want, cv::NORM_INF), 2.0 * ratio);
}

TEST(CREStereoPipeline, CombinedFlowOfBothPassesAsDisparity) {
    const auto packets =
        run("crestereo-combined", "crestereo_combined.onnx", "crestereo_combined_iter2_240x320",
            "crestereo_combined_iter2_240x320.onnx");
    ASSERT_EQ(packets.size(), 2u);
    for (const auto& packet : packets) {
        const kelvo::CanvasLayout& layout = packet->layout;
        ASSERT_EQ(layout.canvas_w, 320);
        ASSERT_EQ(layout.canvas_h, 240);
        const cv::Mat left = kelvo::fit_into_canvas(packet->rectified_left, layout);
        const cv::Mat right = kelvo::fit_into_canvas(packet->rectified_right, layout);
        cv::Mat half_l, half_r;
        cv::resize(left, half_l, cv::Size(160, 120), 0, 0, cv::INTER_LINEAR);
        cv::resize(right, half_r, cv::Size(160, 120), 0, 0, cv::INTER_LINEAR);
        const cv::Mat expected = channel_mean(left) - 0.5 * channel_mean(right) +
                                 (0.25 * image_mean(half_l) - 0.125 * image_mean(half_r));
        expect_disparity(*packet, expected);
    }
}

TEST(CREStereoPipeline, InitialFlowAsDisparity) {
    const auto packets = run("crestereo-initial", "crestereo_initial.onnx",
                             "crestereo_init_iter2_160x240", "model.onnx");
    ASSERT_EQ(packets.size(), 2u);
    for (const auto& packet : packets) {
        const kelvo::CanvasLayout& layout = packet->layout;
        ASSERT_EQ(layout.canvas_w, 240);
        ASSERT_EQ(layout.canvas_h, 160);
        const cv::Mat left = kelvo::fit_into_canvas(packet->rectified_left, layout);
        const cv::Mat right = kelvo::fit_into_canvas(packet->rectified_right, layout);
        expect_disparity(*packet, channel_mean(left) - channel_mean(right));
    }
}

}  // namespace crestereo_pipeline_test
