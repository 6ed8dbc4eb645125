// Depth Anything v2 Small back-end: variant with its two model files,
// ImageNet blob, squeeze-and-crop with its message, and the depth adjustment.
#include <gtest/gtest.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/depth_anything_v2_small.hpp"
#include "kelvo/inference/registry.hpp"
#include "neural_test_helpers.hpp"

namespace depth_anything_test {

using kelvo::Json;
using kelvo::testing::at4;
using kelvo::testing::keys_of;
using kelvo::testing::leading_plane;
using kelvo::testing::shape_of;

struct DepthAnything : kelvo::DepthAnythingV2SmallInference {
    using DepthAnythingV2SmallInference::_apply_depth_affine;
    using DepthAnythingV2SmallInference::_init_extra_state;
    using DepthAnythingV2SmallInference::class_input_size;
    using DepthAnythingV2SmallInference::class_output_name;
};

cv::Mat output(const std::vector<int>& shape, int depth = CV_32F) {
    return kelvo::testing::patterned(
        shape, depth, [](std::size_t i) { return static_cast<float>(i % 997) * 0.37f - 11.0f; });
}

const kelvo::CanvasLayout LAYOUT{
    .canvas_w = 518, .canvas_h = 518, .pad_x = 3, .pad_y = 100, .valid_w = 512, .valid_h = 300};

TEST(DepthAnythingVariants, OneVariantWithGraphThenWeights) {
    const auto variants = kelvo::DepthAnythingV2SmallInference::variants();
    ASSERT_EQ(variants.size(), 1u);
    const auto& v = variants[0];
    EXPECT_EQ(v.slug, "518x518");
    EXPECT_EQ(v.label, "518\u00d7518 (default)");
    ASSERT_EQ(v.files_to_download.size(), 2u);
    EXPECT_EQ(v.files_to_download[0].slug, "depth_anything_v2_small_518x518_onnx");
    EXPECT_EQ(v.files_to_download[0].filename, "model.onnx");
    EXPECT_EQ(v.files_to_download[1].slug, "depth_anything_v2_small_518x518_onnx_data");
    EXPECT_EQ(v.files_to_download[1].filename, "model.onnx_data");
    EXPECT_FALSE(v.files_to_download[0].archive_member.has_value());
    EXPECT_FALSE(v.files_to_download[1].archive_member.has_value());
    EXPECT_EQ(keys_of(v.configurations),
              (std::vector<std::string>{"size", "input_size", "selector_meta"}));
    EXPECT_EQ(v.configurations["size"], "small");
    EXPECT_EQ(v.configurations["input_size"], Json::array({518, 518}));

    Json expected = Json::object();
    expected["task"] = "mono";
    expected["speed_tier"] = 2;
    expected["accuracy_tier"] = 4;
    expected["min_engine_class"] = "igpu";
    expected["recommended_engine_class"] = "nvidia";
    expected["size_mb"] = 99.2;
    expected["params_m"] = 24.8;
    expected["published_fps"] = Json{{"nvidia", 30}};
    expected["accuracy_metric"] = "NYUv2 AbsRel 0.053 / \u03b41 0.973";
    expected["summary"] =
        "Mono depth from a single eye. Strong for visualization; calibrate scale for measurement "
        "use.";
    expected["tags"] =
        Json::array({"mono", "visualization", "single-eye", "weight:balanced", "year:2024"});
    expected["neural"] = true;
    expected["wizard_visible"] = true;
    expected["license"] = "Apache-2.0";
    expected["license_url"] =
        "https://github.com/DepthAnything/Depth-Anything-V2/blob/main/LICENSE";
    const Json& meta = v.configurations["selector_meta"];
    EXPECT_EQ(keys_of(meta), keys_of(expected));
    EXPECT_EQ(meta, expected);
}

TEST(DepthAnythingClass, PinsNothing) {
    EXPECT_STREQ(kelvo::DepthAnythingV2SmallInference::LABEL, "Depth Anything V2 Small");
    DepthAnything model;
    EXPECT_FALSE(model.class_input_size().has_value());
    EXPECT_FALSE(model.class_output_name().has_value());
    EXPECT_TRUE(model.is_mono());
    const auto cls = kelvo::inference_class("depth-anything-v2-small");
    EXPECT_EQ(cls->label, "Depth Anything V2 Small");
    EXPECT_TRUE(cls->neural);
}

TEST(DepthAnythingPreprocess, ImageNetBlobOfTheLeftCanvas) {
    DepthAnything model;
    model._init_extra_state();
    cv::Mat canvas(518, 518, CV_8UC3, cv::Scalar(0, 0, 0));
    canvas.at<cv::Vec3b>(5, 6) = cv::Vec3b(255, 0, 0);  // pure blue
    const auto blobs = model.preprocess(canvas, nullptr);
    ASSERT_EQ(blobs.size(), 1u);
    const cv::Mat& blob = blobs[0];
    ASSERT_EQ(blob.type(), CV_32F);
    EXPECT_EQ(shape_of(blob), (std::vector<int>{1, 3, 518, 518}));
    EXPECT_NEAR(at4(blob, 0, 0, 0), -123.675 / 58.395, 1e-5);
    EXPECT_NEAR(at4(blob, 1, 0, 0), -116.28 / 57.12, 1e-5);
    EXPECT_NEAR(at4(blob, 2, 0, 0), -103.53 / 57.375, 1e-5);
    EXPECT_NEAR(at4(blob, 2, 5, 6), 2.64, 1e-5);  // blue is last in the blob
    EXPECT_NEAR(at4(blob, 0, 5, 6), -123.675 / 58.395, 1e-5);

    const auto again = model.preprocess(canvas, &canvas);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(cv::norm(again[0], blob, cv::NORM_INF), 0.0);
}

TEST(DepthAnythingPostprocess, SqueezeAndCrop) {
    DepthAnything model;
    model._init_extra_state();
    for (const auto& shape :
         std::vector<std::vector<int>>{{1, 518, 518}, {1, 1, 518, 518}, {518, 518}}) {
        const cv::Mat raw = output(shape);
        const cv::Mat out = model.postprocess(raw, LAYOUT);
        ASSERT_EQ(out.type(), CV_32F);
        EXPECT_TRUE(out.isContinuous());
        EXPECT_EQ(
            cv::norm(out, leading_plane(raw, 518, 518)(cv::Rect(3, 100, 512, 300)), cv::NORM_INF),
            0.0);
    }
    const cv::Mat half = output({1, 518, 518}, CV_16F);
    EXPECT_EQ(cv::norm(model.postprocess(half, LAYOUT),
                       leading_plane(half, 518, 518)(cv::Rect(3, 100, 512, 300)), cv::NORM_INF),
              0.0);
    // A non-continuous 2-D view is read with its stride.
    const cv::Mat big = output({600, 600});
    const cv::Mat view = big(cv::Rect(10, 20, 518, 518));
    EXPECT_EQ(
        cv::norm(model.postprocess(view, LAYOUT), view(cv::Rect(3, 100, 512, 300)), cv::NORM_INF),
        0.0);
}

TEST(DepthAnythingPostprocess, RejectsOutputsThatAreNotAMap) {
    DepthAnything model;
    model._init_extra_state();
    struct Bad {
        std::vector<int> shape;
        const char* message;
    };
    const Bad bad[] = {
        {{1, 2, 518, 518},
         "model output shape (1, 2, 518, 518) does not yield a 2D map after squeeze (got (2, "
         "518, 518))"},
        {{1, 1, 1, 518},
         "model output shape (1, 1, 1, 518) does not yield a 2D map after squeeze (got (518,))"},
        {{1, 1}, "model output shape (1, 1) does not yield a 2D map after squeeze (got ())"},
    };
    for (const auto& b : bad) {
        try {
            model.postprocess(output(b.shape), LAYOUT);
            ADD_FAILURE() << b.message;
        } catch (const kelvo::RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()), b.message);
        }
    }
}

TEST(DepthAnythingPostprocess, EmptyOutputGivesAnEmptyMap) {
    DepthAnything model;
    model._init_extra_state();
    const std::vector<int> shape{1, 0, 518};
    const cv::Mat raw(3, shape.data(), CV_32F);
    const cv::Mat out = model.postprocess(raw, LAYOUT);
    EXPECT_TRUE(out.empty());
}

TEST(DepthAnythingPostprocess, DepthAdjustmentIsLast) {
    DepthAnything model;
    model._init_extra_state();
    const cv::Mat raw = output({1, 518, 518});
    const cv::Mat crop = leading_plane(raw, 518, 518)(cv::Rect(3, 100, 512, 300)).clone();
    // Identity by default: the network's relative depth as it came.
    EXPECT_EQ(cv::norm(model.postprocess(raw, LAYOUT), crop, cv::NORM_INF), 0.0);
    model.set_inference_control("depth_scale_milli", 2500);
    model.set_inference_control("depth_offset_mm", -400);
    const cv::Mat out = model.postprocess(raw, LAYOUT);
    EXPECT_EQ(cv::norm(out, model._apply_depth_affine(crop), cv::NORM_INF), 0.0);
    EXPECT_GT(cv::norm(out, crop, cv::NORM_INF), 0.1);
}

}  // namespace depth_anything_test
