// Depth Anything in the frame pipeline: the two-file model found by the
// model-file lookup, the left eye fitted into the 518 x 518 canvas, the
// network's relative depth cropped, adjusted by the user's scale and mapped
// back to the eye.
#include <gtest/gtest.h>

#include <filesystem>

#include "kelvo/cache_dir.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace {

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
    kelvo::testing::TempDir cache("depth-anything-pipeline-cache");
    kelvo::set_cache_dir(cache.path());
    const fs::path models = fs::path(KELVO_BACKEND_MODELS_DIR) / "depth_anything";
    for (const auto& [slug, name] :
         {std::pair{"depth_anything_v2_small_518x518_onnx", "model.onnx"},
          std::pair{"depth_anything_v2_small_518x518_onnx_data", "model.onnx_data"}}) {
        fs::create_directories(cache.path() / "models" / slug);
        fs::copy_file(models / name, cache.path() / "models" / slug / name);
    }

    const auto scene = kelvo::detail::default_synthetic_scene({360, 640});
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < 2; ++i) {
        payloads.push_back(kelvo::testing::encode_jpeg(
            kelvo::detail::render_synthetic_frame(scene, i).side_by_side));
    }
    kelvo::PipelineOptions options;
    options.source =
        std::make_shared<kelvo::testing::MemorySource>(std::move(payloads), 1280, 360, calibration);
    options.backend = "depth-anything-v2-small";
    options.controls = {{"depth_scale_milli", 3000}};
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
    EXPECT_EQ(pipeline.stats().frames_failed, 0);
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

}  // namespace
