// LightStereo end to end on a stand-in network with LightStereo's signature
// (left, right (1, 3, 256, 512) -> disp (1, 1, 256, 512), disp = mean over
// channels of left - right), installed under a variant's model path.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "kelvo/cache_dir.hpp"
#include "kelvo/calibration.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/lightstereo.hpp"
#include "kelvo/inference/registry.hpp"
#include "support/test_paths.hpp"

namespace {

class LightStereoOnOpenVINO : public ::testing::Test {
  protected:
    void SetUp() override {
        kelvo::set_cache_dir(_tmp.path());
        const auto target =
            _tmp.path() / "models" / "lightstereo_s_sceneflow_general_opt_256_512" / "model.onnx";
        std::filesystem::create_directories(target.parent_path());
        std::filesystem::copy_file(
            std::filesystem::path(KELVO_TEST_MODELS_DIR) / "lightstereo_standin.onnx", target);
    }
    void TearDown() override { kelvo::set_cache_dir({}); }

    kelvo::testing::TempDir _tmp{"lightstereo_ov"};
};

TEST_F(LightStereoOnOpenVINO, FramesFlowThroughTheRegisteredBackEnd) {
    const auto cls = kelvo::inference_class("lightstereo");
    const auto variant = cls->variant("s-sceneflow-opt-256x512");
    std::unique_ptr<kelvo::DepthInferenceBase> backend(cls->create(variant, {.nireq = 2}));
    auto* net = dynamic_cast<kelvo::LightStereoInference*>(backend.get());
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->input_size(), (kelvo::HeightWidth{256, 512}));
    EXPECT_EQ(net->nireq(), 2);
    EXPECT_EQ(net->label(), "LightStereo \u00b7 S / SceneFlow / 256\u00d7512 (opt)");
    // The compiled network went to the cache under the kit's cache folder.
    EXPECT_TRUE(std::filesystem::is_directory(_tmp.path() / "openvino"));

    // A real stereo pair of another aspect ratio, letterboxed into the canvas.
    const auto samples = kelvo::testing::opencv_sample_dir();
    cv::Mat left = cv::imread((samples / "aloeL.jpg").string());
    cv::Mat right = cv::imread((samples / "aloeR.jpg").string());
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    const auto layout = kelvo::fit_layout({left.rows, left.cols}, {256, 512});
    const cv::Mat canvas_l = kelvo::fit_into_canvas(left, layout);
    const cv::Mat canvas_r = kelvo::fit_into_canvas(right, layout);

    // Several frames in flight at once, as the pipeline keeps them.
    std::vector<std::vector<cv::Mat>> blobs;
    std::vector<kelvo::InferenceFuturePtr> futures;
    for (int i = 0; i < 4; ++i) {
        blobs.push_back(net->preprocess(canvas_l, &canvas_r));
        futures.push_back(net->submit(blobs.back()));
    }
    for (int i = 0; i < 4; ++i) {
        const cv::Mat disparity = net->postprocess(futures[i]->get(60.0), layout);
        ASSERT_EQ(disparity.type(), CV_32F);
        ASSERT_EQ(disparity.rows, layout.valid_h);
        ASSERT_EQ(disparity.cols, layout.valid_w);
        // The stand-in's output, checked against its inputs at a few pixels.
        for (int y : {0, layout.valid_h / 2, layout.valid_h - 1}) {
            for (int x : {0, layout.valid_w / 3, layout.valid_w - 1}) {
                double expected = 0;
                for (int c = 0; c < 3; ++c) {
                    const cv::Vec4i at(0, c, layout.pad_y + y, layout.pad_x + x);
                    expected += blobs[i][0].at<float>(at) - blobs[i][1].at<float>(at);
                }
                EXPECT_NEAR(disparity.at<float>(y, x), expected / 3.0, 1e-4);
            }
        }
    }
    net->shutdown();
    EXPECT_THROW(net->submit(blobs.front()), kelvo::RuntimeError);
}

TEST_F(LightStereoOnOpenVINO, OtherVariantsStillSayWhereTheirModelGoes) {
    const auto cls = kelvo::inference_class("lightstereo");
    try {
        cls->create(cls->variant("s-sceneflow-opt-576x960"), {});
        ADD_FAILURE() << "no error";
    } catch (const kelvo::RuntimeError& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find((_tmp.path() / "models" / "lightstereo_s_sceneflow_opt_576x960" /
                                "model.onnx")
                                   .string()),
                  std::string::npos)
            << message;
    }
}

}  // namespace
