// The neural bases without a network: the engine loader's failure message,
// model-file resolution, hook guards and the monocular depth adjustment.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "kelvo/cache_dir.hpp"
#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/base.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::testing::TempDir;

/// Restores the default cache directory when a test ends.
struct CacheDirGuard {
    explicit CacheDirGuard(const std::filesystem::path& dir) { kelvo::set_cache_dir(dir); }
    ~CacheDirGuard() { kelvo::set_cache_dir({}); }
};

std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const kelvo::RuntimeError& e) {
        return e.what();
    }
    return "<no RuntimeError>";
}

TEST(OpenVINOLoader, MissingEngineLibraryReportsPackageNotInstalled) {
    const kelvo::OpenVINORunnerOptions options{.model_path = "model.onnx"};
    EXPECT_EQ(message_of([&] {
                  kelvo::detail::create_openvino_runner_from(
                      "/nonexistent/libkelvo_openvino_runner.so", options);
              }),
              "openvino package not installed");
    // A loadable library that is not the engine counts as missing too.
    const auto core = std::filesystem::path(KELVO_LIBRARY_DIR) / "libkelvo_core.so";
    ASSERT_TRUE(std::filesystem::exists(core));
    EXPECT_EQ(message_of([&] { kelvo::detail::create_openvino_runner_from(core, options); }),
              "openvino package not installed");
}

TEST(OpenVINOLoader, AvailabilityFollowsTheBuild) {
#if KELVO_TEST_HAVE_OPENVINO
    EXPECT_TRUE(kelvo::openvino_runner_available());
    // The engine loads; the runtime then reports the missing file itself.
    TempDir tmp("ovloader");
    EXPECT_THROW(kelvo::create_openvino_runner(
                     {.model_path = tmp / "absent.onnx", .do_models_cache = false}),
                 std::exception);
#else
    EXPECT_FALSE(kelvo::openvino_runner_available());
    EXPECT_EQ(message_of([] { kelvo::create_openvino_runner({.model_path = "model.onnx"}); }),
              "openvino package not installed");
#endif
}

/// A minimal stereo back-end over the base, as a subclass would be written.
class TinyStereo : public kelvo::NeuralStereoInferenceBase {
  public:
    std::vector<cv::Mat> preprocess(const cv::Mat& l, const cv::Mat* r) override { return {l, *r}; }
    cv::Mat postprocess(const cv::Mat& raw, const kelvo::CanvasLayout& layout) override {
        return kelvo::crop_to_valid(raw, layout);
    }
    int extra_state_calls = 0;

  protected:
    void _init_extra_state() override { ++extra_state_calls; }
    std::string class_label() const override { return "Tiny"; }
};

class TinyMono : public kelvo::NeuralMonoInferenceBase {
  public:
    std::vector<cv::Mat> preprocess(const cv::Mat& l, const cv::Mat*) override { return {l}; }
    cv::Mat postprocess(const cv::Mat& raw, const kelvo::CanvasLayout& layout) override {
        return _apply_depth_affine(kelvo::crop_to_valid(raw, layout));
    }
    cv::Mat affine(const cv::Mat& depth) const { return _apply_depth_affine(depth); }

  protected:
    std::string class_label() const override { return "TinyMono"; }
};

kelvo::InferenceVariant variant_with_files(std::vector<kelvo::ModelFile> files) {
    kelvo::InferenceVariant v;
    v.slug = "tiny-4x5";
    v.label = "Tiny 4\u00d75";
    v.files_to_download = std::move(files);
    v.configurations["input_size"] = kelvo::Json::array({4, 5});
    return v;
}

TEST(NeuralBase, MissingModelFileNamesPathAndVariant) {
    TempDir tmp("neural_missing");
    CacheDirGuard guard(tmp.path());
    TinyStereo net;
    const auto v = variant_with_files({{.slug = "tiny_net", .filename = "model.onnx"}});
    const std::string message = message_of([&] { net.initialize(v, {}); });
    EXPECT_NE(message.find("'tiny-4x5'"), std::string::npos) << message;
    EXPECT_NE(message.find((tmp.path() / "models" / "tiny_net" / "model.onnx").string()),
              std::string::npos)
        << message;
    EXPECT_EQ(net.extra_state_calls, 0);
    EXPECT_EQ(net.engine(), nullptr);
}

TEST(NeuralBase, EveryFileOfTheVariantMustBePresent) {
    TempDir tmp("neural_two_files");
    CacheDirGuard guard(tmp.path());
    const auto first = tmp.path() / "models" / "two" / "model.onnx";
    std::filesystem::create_directories(first.parent_path());
    std::ofstream(first) << "not a network";
    TinyStereo net;
    const auto v = variant_with_files({{.slug = "two", .filename = "model.onnx"},
                                       {.slug = "two", .filename = "model.onnx_data"}});
    const std::string message = message_of([&] { net.initialize(v, {}); });
    EXPECT_NE(message.find("model.onnx_data"), std::string::npos) << message;
}

TEST(NeuralBase, VariantWithoutModelFileIsRefused) {
    TinyStereo net;
    const std::string message = message_of([&] { net.initialize(variant_with_files({}), {}); });
    EXPECT_EQ(message, "variant 'tiny-4x5' of Tiny names no model file");
}

TEST(NeuralBase, SubmitWithoutEngineIsAClearError) {
    TinyStereo net;
    EXPECT_EQ(message_of([&] {
                  net.submit({cv::Mat(), cv::Mat()});
              }),
              "Tiny has no engine (not initialized or shut down)");
    net.shutdown();  // nothing to release; still fine
    EXPECT_FALSE(net.is_mono());
    EXPECT_EQ(net.label(), "Tiny");
}

#if !KELVO_TEST_HAVE_OPENVINO
TEST(NeuralBase, ModelInPlaceButNoRuntimeReportsPackageNotInstalled) {
    TempDir tmp("neural_noruntime");
    CacheDirGuard guard(tmp.path());
    const auto file = tmp.path() / "models" / "tiny_net" / "model.onnx";
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "x";
    TinyStereo net;
    const auto v = variant_with_files({{.slug = "tiny_net", .filename = "model.onnx"}});
    EXPECT_EQ(message_of([&] { net.initialize(v, {}); }), "openvino package not installed");
}
#endif

TEST(NeuralMonoBase, DepthControlsAreDeclaredWithIdentityDefaults) {
    const auto specs = kelvo::NeuralMonoInferenceBase::CONTROLS();
    ASSERT_EQ(specs.size(), 2u);
    EXPECT_EQ(specs[0].name, "depth_scale_milli");
    EXPECT_EQ(specs[0].default_value, 1000);
    EXPECT_EQ(specs[1].name, "depth_offset_mm");
    EXPECT_EQ(specs[1].default_value, 0);
    TinyMono mono;
    EXPECT_TRUE(mono.is_mono());
    EXPECT_EQ(mono.control("depth_scale_milli"), 1000);
    EXPECT_EQ(mono.control("depth_offset_mm"), 0);
    mono.set_intrinsics(500, 500, 320, 240);  // the base ignores intrinsics
}

struct AffineCase {
    const char* name;
    int scale_milli;
    int offset_mm;
    float input;
    float expected;
};

class DepthAffine : public ::testing::TestWithParam<AffineCase> {};

TEST_P(DepthAffine, AppliesScaleThenOffset) {
    const auto& c = GetParam();
    TinyMono mono;
    mono.set_inference_control("depth_scale_milli", c.scale_milli);
    mono.set_inference_control("depth_offset_mm", c.offset_mm);
    const cv::Mat depth(3, 4, CV_32F, cv::Scalar(c.input));
    const cv::Mat out = mono.affine(depth);
    ASSERT_EQ(out.type(), CV_32F);
    ASSERT_EQ(out.size(), depth.size());
    EXPECT_NEAR(out.at<float>(2, 3), c.expected, 1e-5);
    EXPECT_EQ(depth.at<float>(2, 3), c.input) << "input must be left untouched";
}

INSTANTIATE_TEST_SUITE_P(Cases, DepthAffine,
                         ::testing::Values(AffineCase{"identity", 1000, 0, 2.5f, 2.5f},
                                           AffineCase{"double", 2000, 0, 2.5f, 5.0f},
                                           AffineCase{"offset", 1000, 250, 2.5f, 2.75f},
                                           AffineCase{"both", 500, -100, 2.0f, 0.9f}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NeuralMonoBase, InvalidDepthStaysInvalidAndOtherDepthsConvert) {
    TinyMono mono;
    mono.set_inference_control("depth_offset_mm", 1000);
    cv::Mat depth(1, 2, CV_32F);
    depth.at<float>(0, 0) = std::nanf("");
    depth.at<float>(0, 1) = 1.0f;
    const cv::Mat out = mono.affine(depth);
    EXPECT_TRUE(std::isnan(out.at<float>(0, 0)));
    EXPECT_FLOAT_EQ(out.at<float>(0, 1), 2.0f);
    const cv::Mat half = mono.affine(cv::Mat(1, 1, CV_16F, cv::Scalar(3.0)));
    EXPECT_EQ(half.type(), CV_32F);
    EXPECT_FLOAT_EQ(half.at<float>(0, 0), 4.0f);
    EXPECT_THROW(mono.set_inference_control("depth_scale_milli", 0), std::invalid_argument);
}

}  // namespace
