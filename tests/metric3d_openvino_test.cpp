// Metric3D end to end: the engine reshaped to INPUT_SIZE, the
// "predicted_depth" output selected among several, and the depth map
// cropped to the valid region and rescaled by the focal length.
#include <gtest/gtest.h>

#include <filesystem>

#include "kelvo/cache_dir.hpp"
#include "kelvo/inference/inferences/metric3d_v2_vit_small.hpp"
#include "kelvo/inference/registry.hpp"
#include "support/test_paths.hpp"

namespace metric3d_openvino_test {

namespace fs = std::filesystem;

const fs::path MODELS = KELVO_BACKEND_MODELS_DIR;

cv::Mat textured(int h, int w) {
    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x * 3 + y * 5) % 256),
                                                  static_cast<uchar>((x + 2 * y) % 256),
                                                  static_cast<uchar>((y * 7 + 9) % 256));
        }
    }
    return image;
}

// What the test network computes: 0.01 * mean over channels + 0.5.
cv::Mat network_depth(const cv::Mat& canvas) {
    cv::Mat as_float;
    canvas.convertTo(as_float, CV_32F);
    std::vector<cv::Mat> channels;
    cv::split(as_float, channels);
    return (channels[0] + channels[1] + channels[2]) * (0.01 / 3.0) + 0.5;
}

class Metric3DEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        kelvo::set_cache_dir(_cache.path());
        const fs::path folder = _cache.path() / "models" / "metric3d_v2_vit_small_504x504";
        fs::create_directories(folder);
        // The network takes any height and width; the back-end pins 504 x 504.
        fs::copy_file(MODELS / "metric3d.onnx", folder / "model.onnx");
        const auto cls = kelvo::inference_class("metric3d-v2-vit-small");
        kelvo::InferenceCreateOptions options;
        options.do_models_cache = false;
        _backend = cls->create(cls->variant(""), options);
        _model = &dynamic_cast<kelvo::Metric3DV2VitSmallInference&>(*_backend);
    }
    void TearDown() override {
        _backend.reset();
        kelvo::set_cache_dir({});
    }

    cv::Mat run(const cv::Mat& canvas, const kelvo::CanvasLayout& layout) {
        const auto blobs = _model->preprocess(canvas, nullptr);
        EXPECT_EQ(blobs.size(), 1u);
        return _model->postprocess(_model->submit(blobs)->get(120.0), layout);
    }

    kelvo::testing::TempDir _cache{"metric3d-cache"};
    std::unique_ptr<kelvo::DepthInferenceBase> _backend;
    kelvo::Metric3DV2VitSmallInference* _model = nullptr;
};

TEST_F(Metric3DEngine, DepthCroppedAndRescaledByFocalLength) {
    ASSERT_EQ(_model->input_size(), (kelvo::HeightWidth{504, 504}));
    const auto layout = kelvo::fit_layout({378, 504}, {504, 504});
    ASSERT_EQ(layout.pad_y, 63);
    const cv::Mat canvas = kelvo::fit_into_canvas(textured(378, 504), layout);
    const cv::Mat want =
        network_depth(canvas)(cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));

    // Canonical camera: the network's values (bfloat16 on some CPUs: 1 %).
    const cv::Mat canonical = run(canvas, layout);
    ASSERT_EQ(canonical.type(), CV_32F);
    ASSERT_EQ(canonical.size(), cv::Size(504, 378));
    EXPECT_LT(cv::norm(canonical, want, cv::NORM_INF), 0.03);

    _model->set_intrinsics(800, 800, 252, 252);
    const cv::Mat rescaled = run(canvas, layout);
    EXPECT_LT(cv::norm(rescaled, want * 0.8, cv::NORM_INF), 0.03);
    // Same network output, so the ratio is exact up to the float32 product.
    cv::Mat expected_exact = canonical.clone();
    expected_exact.forEach<float>([](float& d, const int*) { d *= 0.8f; });
    EXPECT_EQ(cv::norm(rescaled, expected_exact, cv::NORM_INF), 0.0);

    _model->set_intrinsics(500, 2000, 0, 0);
    EXPECT_EQ(cv::norm(run(canvas, layout), canonical, cv::NORM_INF), 0.0);
}

TEST_F(Metric3DEngine, DepthAdjustmentAppliedAfterRescaling) {
    const auto layout = kelvo::fit_layout({504, 504}, {504, 504});
    const cv::Mat canvas = textured(504, 504);
    const cv::Mat canonical = run(canvas, layout);
    _model->set_intrinsics(2000, 2000, 0, 0);
    _model->set_inference_control("depth_scale_milli", 1500);
    _model->set_inference_control("depth_offset_mm", 100);
    const cv::Mat adjusted = run(canvas, layout);
    EXPECT_LT(cv::norm(adjusted, canonical * 3.0 + 0.1, cv::NORM_INF), 1e-4);
}

}  // namespace metric3d_openvino_test
