// The neural bases on a real engine: the class's pinned input size and output
// name reach the engine, the canvas follows the network, hooks run in order.
#include <gtest/gtest.h>

#include "kelvo/cache_dir.hpp"
#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/base.hpp"
#include "support/test_paths.hpp"

namespace neural_openvino_test {

std::filesystem::path model(const std::string& name) {
    return std::filesystem::path(KELVO_TEST_MODELS_DIR) / (name + ".onnx");
}

/// A monocular back-end pinning INPUT_SIZE and OUTPUT_NAME, like Metric3D.
class PinnedMono : public kelvo::NeuralMonoInferenceBase {
  public:
    std::vector<cv::Mat> preprocess(const cv::Mat& canvas, const cv::Mat*) override {
        EXPECT_EQ(extra_state_calls, 1) << "_init_extra_state must run before preprocess";
        const int sizes[] = {1, 3, canvas.rows, canvas.cols};
        cv::Mat blob(4, sizes, CV_32F, cv::Scalar(1.5));
        return {blob};
    }
    cv::Mat postprocess(const cv::Mat& raw, const kelvo::CanvasLayout& layout) override {
        // Channel 0 of the (1, 3, H, W) output as the depth map.
        const cv::Mat plane(raw.size[2], raw.size[3], CV_32F, const_cast<uchar*>(raw.ptr()));
        return _apply_depth_affine(kelvo::crop_to_valid(plane, layout));
    }
    int extra_state_calls = 0;

  protected:
    void _init_extra_state() override {
        NeuralMonoInferenceBase::_init_extra_state();
        ++extra_state_calls;
    }
    std::optional<kelvo::HeightWidth> class_input_size() const override {
        return kelvo::HeightWidth{6, 7};
    }
    std::optional<std::string> class_output_name() const override { return "output"; }
    std::string class_label() const override { return "Pinned"; }
};

class NeuralBaseOnOpenVINO : public ::testing::Test {
  protected:
    void SetUp() override { kelvo::set_cache_dir(_tmp.path()); }
    void TearDown() override { kelvo::set_cache_dir({}); }

    /// A variant whose one model file is `name`, installed in the cache.
    kelvo::InferenceVariant install(const std::string& name) {
        const auto target = _tmp.path() / "models" / ("test_" + name) / "model.onnx";
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(model(name), target,
                                   std::filesystem::copy_options::overwrite_existing);
        kelvo::InferenceVariant v;
        v.slug = "test-" + name;
        v.files_to_download = {{.slug = "test_" + name, .filename = "model.onnx"}};
        return v;
    }

    kelvo::testing::TempDir _tmp{"neural_ov"};
};

TEST_F(NeuralBaseOnOpenVINO, PinnedSizeAndOutputReachTheEngine) {
    PinnedMono mono;
    // The dynamic network only works with the base's input_shape override.
    mono.initialize(install("dynamic"), {.nireq = 0, .do_models_cache = false});
    EXPECT_EQ(mono.input_size(), (kelvo::HeightWidth{6, 7}));
    EXPECT_EQ(mono.nireq(), 1);
    EXPECT_EQ(mono.engine()->input_shapes(), (std::vector<kelvo::Shape4>{{1, 3, 6, 7}}));
    EXPECT_EQ(mono.extra_state_calls, 1);

    mono.set_inference_control("depth_scale_milli", 500);
    const cv::Mat canvas(6, 7, CV_8UC3, cv::Scalar::all(0));
    const auto blobs = mono.preprocess(canvas, nullptr);
    const cv::Mat raw = mono.submit(blobs)->get(30.0);
    kelvo::CanvasLayout layout;
    layout.pad_x = 1;
    layout.pad_y = 2;
    layout.valid_w = 5;
    layout.valid_h = 3;
    const cv::Mat depth = mono.postprocess(raw, layout);
    ASSERT_EQ(depth.size(), cv::Size(5, 3));
    EXPECT_FLOAT_EQ(depth.at<float>(1, 1), (2.0f * 1.5f + 1.0f) * 0.5f);

    EXPECT_THROW(mono.initialize(install("dynamic"), {}), kelvo::RuntimeError);
    EXPECT_EQ(mono.extra_state_calls, 1);
}

/// A stereo back-end with no pinned size: the canvas follows the network.
class FreeStereo : public kelvo::NeuralStereoInferenceBase {
  public:
    std::vector<cv::Mat> preprocess(const cv::Mat&, const cv::Mat*) override { return {}; }
    cv::Mat postprocess(const cv::Mat& raw, const kelvo::CanvasLayout&) override { return raw; }

  protected:
    std::string class_label() const override { return "Free"; }
};

TEST_F(NeuralBaseOnOpenVINO, CanvasFollowsTheNetworkInputSize) {
    FreeStereo stereo;
    auto variant = install("two_inputs");
    variant.configurations["input_size"] = kelvo::Json::array({256, 512});  // stale metadata
    stereo.initialize(variant, {.do_models_cache = false});
    EXPECT_EQ(stereo.input_size(), (kelvo::HeightWidth{4, 5}));
    EXPECT_EQ(stereo.nireq(), 2);
}

TEST_F(NeuralBaseOnOpenVINO, AnInjectedEngineIsUsedAsGiven) {
    kelvo::OpenVINORunnerOptions o;
    o.model_path = model("two_inputs");
    o.do_models_cache = false;
    auto engine = kelvo::create_openvino_runner(o);
    FreeStereo stereo;
    kelvo::InferenceVariant v;
    v.slug = "injected";  // no model file needed
    stereo.initialize(v, {}, engine);
    EXPECT_EQ(stereo.engine(), engine);
    const cv::Mat blob(std::vector<int>{1, 3, 4, 5}, CV_32F, cv::Scalar(2.0));
    EXPECT_FLOAT_EQ(stereo.submit({blob, blob})->get(30.0).ptr<float>()[0], 0.0f);
    stereo.shutdown();
    EXPECT_EQ(stereo.engine(), nullptr);
    EXPECT_THROW(engine->submit({blob, blob}), kelvo::RuntimeError);
}

}  // namespace neural_openvino_test
