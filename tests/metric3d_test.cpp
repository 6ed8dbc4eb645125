// Metric3D v2 ViT-Small back-end: variant, class attributes, blob, squeeze
// check with its message, focal rescaling and the depth adjustment.
#include <gtest/gtest.h>

#include <cmath>

#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/metric3d_v2_vit_small.hpp"
#include "kelvo/inference/registry.hpp"
#include "neural_test_helpers.hpp"

namespace {

using kelvo::Json;
using kelvo::testing::at4;
using kelvo::testing::keys_of;
using kelvo::testing::leading_plane;
using kelvo::testing::shape_of;

struct Metric3D : kelvo::Metric3DV2VitSmallInference {
    using Metric3DV2VitSmallInference::_apply_depth_affine;
    using Metric3DV2VitSmallInference::_init_extra_state;
    using Metric3DV2VitSmallInference::class_input_size;
    using Metric3DV2VitSmallInference::class_output_name;
};

cv::Mat depth_output(const std::vector<int>& shape, int depth = CV_32F) {
    return kelvo::testing::patterned(
        shape, depth, [](std::size_t i) { return 0.5f + static_cast<float>(i % 1009) * 0.0123f; });
}

const kelvo::CanvasLayout LAYOUT{
    .canvas_w = 504, .canvas_h = 504, .pad_x = 0, .pad_y = 63, .valid_w = 504, .valid_h = 378};

TEST(Metric3DVariants, OneVariantAsTabled) {
    const auto variants = kelvo::Metric3DV2VitSmallInference::variants();
    ASSERT_EQ(variants.size(), 1u);
    const auto& v = variants[0];
    EXPECT_EQ(v.slug, "vit-small-504x504");
    EXPECT_EQ(v.label, "ViT-Small / 504\u00d7504");
    EXPECT_EQ(v.inference_kwargs, Json::object());
    ASSERT_EQ(v.files_to_download.size(), 1u);
    EXPECT_EQ(v.files_to_download[0].slug, "metric3d_v2_vit_small_504x504");
    EXPECT_EQ(v.files_to_download[0].filename, "model.onnx");
    EXPECT_FALSE(v.files_to_download[0].archive_member.has_value());
    EXPECT_EQ(keys_of(v.configurations),
              (std::vector<std::string>{"backbone", "input_size", "selector_meta"}));
    EXPECT_EQ(v.configurations["backbone"], "vit-small");
    EXPECT_EQ(v.configurations["input_size"], Json::array({504, 504}));

    Json expected = Json::object();
    expected["task"] = "mono";
    expected["speed_tier"] = 2;
    expected["accuracy_tier"] = 5;
    expected["min_engine_class"] = "igpu";
    expected["recommended_engine_class"] = "nvidia";
    expected["size_mb"] = 165.0;
    expected["params_m"] = 40.0;
    expected["published_fps"] = Json::object();
    expected["accuracy_metric"] = "NYUv2 AbsRel \u2248 0.042 / \u03b41 \u2248 0.980";
    expected["summary"] =
        "Mono depth from a single eye. Best mono choice for measurement, AR, robotics (uses real "
        "camera focal length).";
    expected["tags"] = Json::array(
        {"mono", "metric", "single-eye", "ar", "robotics", "weight:balanced", "year:2024"});
    expected["neural"] = true;
    expected["wizard_visible"] = true;
    expected["license"] = "CC0";
    expected["license_url"] = "https://creativecommons.org/publicdomain/zero/1.0/legalcode";
    const Json& meta = v.configurations["selector_meta"];
    EXPECT_EQ(keys_of(meta), keys_of(expected));
    EXPECT_EQ(meta, expected);
}

TEST(Metric3DClass, PinsInputSizeAndOutputName) {
    using M = kelvo::Metric3DV2VitSmallInference;
    EXPECT_STREQ(M::LABEL, "Metric3D V2 (ViT-Small)");
    EXPECT_EQ(M::INPUT_SIZE, (kelvo::HeightWidth{504, 504}));
    EXPECT_STREQ(M::OUTPUT_NAME, "predicted_depth");
    Metric3D model;
    EXPECT_EQ(model.class_input_size(), (kelvo::HeightWidth{504, 504}));
    EXPECT_EQ(model.class_output_name(), std::string("predicted_depth"));
    EXPECT_TRUE(model.is_mono());
    const auto cls = kelvo::inference_class("metric3d-v2-vit-small");
    EXPECT_EQ(cls->label, "Metric3D V2 (ViT-Small)");
    EXPECT_EQ(cls->variants().size(), 1u);
}

TEST(Metric3DPreprocess, OneRawPixelBlobOfTheLeftCanvas) {
    Metric3D model;
    model._init_extra_state();
    cv::Mat canvas(504, 504, CV_8UC3, cv::Scalar(10, 20, 250));  // B, G, R
    canvas.at<cv::Vec3b>(7, 9) = cv::Vec3b(1, 2, 3);
    const auto blobs = model.preprocess(canvas, nullptr);
    ASSERT_EQ(blobs.size(), 1u);
    const cv::Mat& blob = blobs[0];
    ASSERT_EQ(blob.type(), CV_32F);
    EXPECT_EQ(shape_of(blob), (std::vector<int>{1, 3, 504, 504}));
    EXPECT_EQ(at4(blob, 0, 0, 0), 250.0f);  // R first, raw value
    EXPECT_EQ(at4(blob, 1, 0, 0), 20.0f);
    EXPECT_EQ(at4(blob, 2, 0, 0), 10.0f);
    EXPECT_EQ(at4(blob, 0, 7, 9), 3.0f);
    EXPECT_EQ(at4(blob, 2, 7, 9), 1.0f);

    // A right canvas, when given, changes nothing.
    const cv::Mat other(504, 504, CV_8UC3, cv::Scalar(0, 0, 0));
    const auto again = model.preprocess(canvas, &other);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(cv::norm(again[0], blob, cv::NORM_INF), 0.0);
}

TEST(Metric3DPostprocess, AcceptsSqueezableShapesAndCrops) {
    Metric3D model;
    model._init_extra_state();
    for (const auto& shape : std::vector<std::vector<int>>{
             {1, 1, 504, 504}, {1, 504, 504}, {504, 504}, {1, 504, 1, 504}}) {
        const cv::Mat raw = depth_output(shape);
        const cv::Mat out = model.postprocess(raw, LAYOUT);
        ASSERT_EQ(out.type(), CV_32F);
        EXPECT_TRUE(out.isContinuous());
        EXPECT_EQ(
            cv::norm(out, leading_plane(raw, 504, 504)(cv::Rect(0, 63, 504, 378)), cv::NORM_INF),
            0.0);
    }
    const cv::Mat half = depth_output({1, 1, 504, 504}, CV_16F);
    const cv::Mat out = model.postprocess(half, LAYOUT);
    ASSERT_EQ(out.type(), CV_32F);
    EXPECT_EQ(cv::norm(out, leading_plane(half, 504, 504)(cv::Rect(0, 63, 504, 378)), cv::NORM_INF),
              0.0);
}

TEST(Metric3DPostprocess, RejectsOutputsThatAreNotAMap) {
    Metric3D model;
    model._init_extra_state();
    struct Bad {
        std::vector<int> shape;
        const char* message;
    };
    const Bad bad[] = {
        {{1, 2, 504, 504},
         "metric3d-v2-vit-small expects a 2D depth map after squeeze; got shape (1, 2, 504, 504) "
         "\u2192 (2, 504, 504)"},
        {{1, 1, 1, 504},
         "metric3d-v2-vit-small expects a 2D depth map after squeeze; got shape (1, 1, 1, 504) "
         "\u2192 (504,)"},
        {{1, 1, 1, 1},
         "metric3d-v2-vit-small expects a 2D depth map after squeeze; got shape (1, 1, 1, 1) "
         "\u2192 ()"},
    };
    for (const auto& b : bad) {
        try {
            model.postprocess(depth_output(b.shape), LAYOUT);
            ADD_FAILURE() << b.message;
        } catch (const kelvo::RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()), b.message);
        }
    }
    // A multi-channel map is not a depth map either.
    cv::Mat two_channel(504, 504, CV_32FC2, cv::Scalar(1, 2));
    try {
        model.postprocess(two_channel, LAYOUT);
        ADD_FAILURE();
    } catch (const kelvo::RuntimeError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "metric3d-v2-vit-small expects a 2D depth map after squeeze; got shape (504, "
                  "504, 2) \u2192 (504, 504, 2)");
    }
}

TEST(Metric3DPostprocess, FocalRescaling) {
    struct Case {
        const char* name;
        std::optional<std::array<double, 4>> intrinsics;
        std::optional<double> focal;
        float factor;  // 1 means the map is left exactly as predicted
    };
    const Case cases[] = {
        {"never set", std::nullopt, std::nullopt, 1.0f},
        {"canonical camera", std::array<double, 4>{1000, 1000, 320, 240}, 1000.0, 1.0f},
        {"geometric mean is canonical", std::array<double, 4>{500, 2000, 0, 0}, 1000.0, 1.0f},
        {"shorter focal length", std::array<double, 4>{800, 800, 0, 0}, 800.0, 0.8f},
        {"longer, unequal", std::array<double, 4>{1200, 1300, 1, 1}, std::sqrt(1200.0 * 1300.0),
         static_cast<float>(std::sqrt(1200.0 * 1300.0) / 1000.0)},
    };
    const cv::Mat raw = depth_output({1, 1, 504, 504});
    const cv::Mat predicted = leading_plane(raw, 504, 504)(cv::Rect(0, 63, 504, 378));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Metric3D model;
        model._init_extra_state();
        if (c.intrinsics) {
            const auto& k = *c.intrinsics;
            model.set_intrinsics(k[0], k[1], k[2], k[3]);
        }
        EXPECT_EQ(model.actual_focal_px(), c.focal);
        const cv::Mat out = model.postprocess(raw, LAYOUT);
        ASSERT_EQ(out.size(), predicted.size());
        int mismatches = 0;
        for (int y = 0; y < out.rows; ++y) {
            for (int x = 0; x < out.cols; ++x) {
                const float p = predicted.at<float>(y, x);
                const float want = c.factor == 1.0f ? p : p * c.factor;  // float32 product
                if (out.at<float>(y, x) != want) ++mismatches;
            }
        }
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(Metric3DPostprocess, LatestIntrinsicsWinAndDepthAdjustmentIsLast) {
    Metric3D model;
    model._init_extra_state();
    model.set_intrinsics(800, 800, 0, 0);
    model.set_intrinsics(2000, 2000, 0, 0);
    EXPECT_EQ(model.actual_focal_px(), 2000.0);
    model.set_inference_control("depth_scale_milli", 500);
    model.set_inference_control("depth_offset_mm", 250);
    const cv::Mat raw = depth_output({1, 1, 504, 504});
    cv::Mat scaled = leading_plane(raw, 504, 504)(cv::Rect(0, 63, 504, 378)).clone();
    scaled.forEach<float>([](float& d, const int*) { d *= 2.0f; });
    const cv::Mat want = model._apply_depth_affine(scaled);
    const cv::Mat out = model.postprocess(raw, LAYOUT);
    EXPECT_EQ(cv::norm(out, want, cv::NORM_INF), 0.0);
    // The adjustment changed something, so the comparison above is not vacuous.
    EXPECT_GT(cv::norm(out, scaled, cv::NORM_INF), 0.1);
}

}  // namespace
