// LightStereo's own logic: variant table, registration, blobs and
// squeeze-and-crop postprocessing (no network needed).
#include <gtest/gtest.h>

#include "kelvo/cache_dir.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/lightstereo.hpp"
#include "kelvo/inference/registry.hpp"
#include "neural_test_helpers.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::Json;
using kelvo::LightStereoInference;
using kelvo::testing::keys_of;

/// Exposes the set-up hook so the pure hooks can be tested without an engine.
class BareLightStereo : public LightStereoInference {
  public:
    BareLightStereo() { _init_extra_state(); }
};

TEST(LightStereoVariants, IdentityFilesAndConfigurationsAsTabled) {
    const auto variants = LightStereoInference::variants();
    ASSERT_EQ(variants.size(), 3u);
    struct Row {
        const char* slug;
        const char* label;
        const char* file;
        const char* build;
        int h, w;
    };
    const Row rows[] = {
        {"s-sceneflow-opt-256x512", "S / SceneFlow / 256\u00d7512 (opt)",
         "lightstereo_s_sceneflow_general_opt_256_512", "opt", 256, 512},
        {"s-sceneflow-opt-576x960", "S / SceneFlow / 576\u00d7960 (opt)",
         "lightstereo_s_sceneflow_opt_576x960", "opt", 576, 960},
        {"s-sceneflow-origin-256x512", "S / SceneFlow / 256\u00d7512 (origin)",
         "lightstereo_s_sceneflow_origin_256x512", "origin", 256, 512},
    };
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(rows[i].slug);
        const auto& v = variants[i];
        EXPECT_EQ(v.slug, rows[i].slug);
        EXPECT_EQ(v.label, rows[i].label);
        ASSERT_EQ(v.files_to_download.size(), 1u);
        EXPECT_EQ(v.files_to_download[0].slug, rows[i].file);
        EXPECT_EQ(v.files_to_download[0].filename, "model.onnx");
        EXPECT_FALSE(v.files_to_download[0].archive_member.has_value());
        EXPECT_TRUE(v.inference_kwargs.empty());
        EXPECT_EQ(
            keys_of(v.configurations),
            (std::vector<std::string>{"size", "dataset", "build", "input_size", "selector_meta"}));
        EXPECT_EQ(v.configurations["size"], "s");
        EXPECT_EQ(v.configurations["dataset"], "sceneflow");
        EXPECT_EQ(v.configurations["build"], rows[i].build);
        EXPECT_EQ(v.configurations["input_size"], Json::array({rows[i].h, rows[i].w}));
        ASSERT_TRUE(v.input_size().has_value());
        EXPECT_EQ(v.input_size()->height, rows[i].h);
    }
}

TEST(LightStereoVariants, SelectorMetaAsTabled) {
    const auto variants = LightStereoInference::variants();
    const std::vector<std::string> keys{
        "task",    "speed_tier", "accuracy_tier",  "min_engine_class", "recommended_engine_class",
        "size_mb", "params_m",   "published_fps",  "accuracy_metric",  "summary",
        "tags",    "neural",     "wizard_visible", "license",          "license_url"};
    auto with_ram = keys;
    with_ram.push_back("min_ram_mb");
    const Json m1 = variants[0].configurations["selector_meta"];
    const Json m2 = variants[1].configurations["selector_meta"];
    const Json m3 = variants[2].configurations["selector_meta"];
    EXPECT_EQ(keys_of(m1), with_ram);
    EXPECT_EQ(keys_of(m2), keys);
    EXPECT_EQ(keys_of(m3), keys);

    const Json expected1 = Json::parse(R"J({
      "task": "stereo", "speed_tier": 5, "accuracy_tier": 3, "min_engine_class": "cpu",
      "recommended_engine_class": "igpu", "size_mb": 14.0, "params_m": 3.44,
      "published_fps": {"nvidia": 58}, "accuracy_metric": "SceneFlow EPE 0.73 px",
      "summary": "Fast neural stereo, runs even on your CPU.",
      "tags": ["live", "low-latency", "default", "weight:light", "year:2024", "preset:fast"],
      "neural": true, "wizard_visible": true, "license": "non-commercial",
      "license_url": "", "min_ram_mb": 50})J");
    const Json expected2 = Json::parse(R"J({
      "task": "stereo", "speed_tier": 3, "accuracy_tier": 4, "min_engine_class": "igpu",
      "recommended_engine_class": "nvidia", "size_mb": 14.0, "params_m": 3.44,
      "published_fps": {},
      "accuracy_metric": "SceneFlow EPE 0.73 px (same weights, higher input)",
      "summary": "Same fast model at higher resolution \u2014 sharper depth, needs a GPU.",
      "tags": ["high-res", "weight:light", "year:2024"],
      "neural": true, "wizard_visible": true, "license": "non-commercial", "license_url": ""})J");
    const Json expected3 = Json::parse(R"J({
      "task": "stereo", "speed_tier": 5, "accuracy_tier": 3, "min_engine_class": "cpu",
      "recommended_engine_class": "igpu", "size_mb": 14.0, "params_m": 3.44,
      "published_fps": {"nvidia": 58}, "accuracy_metric": "SceneFlow EPE 0.73 px",
      "summary": "Same weights as the optimized export \u2014 kept for compatibility.",
      "tags": ["compat", "weight:light", "year:2024"],
      "neural": true, "wizard_visible": false, "license": "non-commercial",
      "license_url": ""})J");
    const std::string url = m1["license_url"].get<std::string>();
    EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
    EXPECT_EQ(m2["license_url"], url);
    EXPECT_EQ(m3["license_url"], url);
    auto with_url = [&](Json j) {
        j["license_url"] = url;
        return j;
    };
    EXPECT_EQ(m1, with_url(expected1));
    EXPECT_EQ(m2, with_url(expected2));
    EXPECT_EQ(m3, with_url(expected3));
    EXPECT_TRUE(m1["size_mb"].is_number_float());
    EXPECT_TRUE(m1["speed_tier"].is_number_integer());
}

TEST(LightStereoVariants, BuiltAfreshOnEveryCall) {
    auto first = LightStereoInference::variants();
    first[0].configurations["selector_meta"]["tags"].clear();
    first[0].slug = "changed";
    const auto second = LightStereoInference::variants();
    EXPECT_EQ(second[0].slug, "s-sceneflow-opt-256x512");
    EXPECT_EQ(second[0].configurations["selector_meta"]["tags"].size(), 6u);
}

TEST(LightStereoRegistry, RegisteredUnderItsKey) {
    const auto cls = kelvo::inference_class("lightstereo");
    EXPECT_EQ(cls->label, "LightStereo");
    EXPECT_TRUE(cls->neural);
    ASSERT_EQ(cls->variants().size(), 3u);
    EXPECT_EQ(cls->variant("").slug, "s-sceneflow-opt-256x512");
    EXPECT_TRUE(cls->controls.empty());
}

TEST(LightStereoRegistry, MissingModelFileSaysWhereToPutIt) {
    kelvo::testing::TempDir tmp("lightstereo_missing");
    kelvo::set_cache_dir(tmp.path());
    const auto cls = kelvo::inference_class("lightstereo");
    std::string message;
    try {
        cls->create(cls->variant("s-sceneflow-origin-256x512"), {});
    } catch (const kelvo::RuntimeError& e) {
        message = e.what();
    }
    kelvo::set_cache_dir({});
    EXPECT_NE(message.find("'s-sceneflow-origin-256x512'"), std::string::npos) << message;
    const auto expected_path =
        tmp.path() / "models" / "lightstereo_s_sceneflow_origin_256x512" / "model.onnx";
    EXPECT_NE(message.find(expected_path.string()), std::string::npos) << message;
}

TEST(LightStereoPreprocess, BlobParamsAsDocumented) {
    const BareLightStereo net;
    const auto& p = net.blob_params();
    EXPECT_EQ(p.mean, cv::Scalar(123.675, 116.28, 103.53, 0.0));
    EXPECT_DOUBLE_EQ(p.scalefactor[0], 0.017124753831663668);
    EXPECT_DOUBLE_EQ(p.scalefactor[1], 0.01750700280112045);
    EXPECT_DOUBLE_EQ(p.scalefactor[2], 0.017429193899782137);
    EXPECT_EQ(p.scalefactor[3], 0.0);
    EXPECT_EQ(p.size, cv::Size(0, 0));
    EXPECT_TRUE(p.swapRB);
    EXPECT_EQ(p.ddepth, CV_32F);
}

TEST(LightStereoPreprocess, BlackLeftAndBlueRightGiveTheDocumentedValues) {
    BareLightStereo net;
    const cv::Mat black(16, 24, CV_8UC3, cv::Scalar(0, 0, 0));
    const cv::Mat blue(16, 24, CV_8UC3, cv::Scalar(255, 0, 0));
    const auto blobs = net.preprocess(black, &blue);
    ASSERT_EQ(blobs.size(), 2u);
    for (const auto& blob : blobs) {
        ASSERT_EQ(blob.dims, 4);
        EXPECT_EQ(blob.type(), CV_32F);
        EXPECT_EQ(std::vector<int>(blob.size.p, blob.size.p + 4), (std::vector<int>{1, 3, 16, 24}));
    }
    const float black_level[] = {-123.675f / 58.395f, -116.28f / 57.12f, -103.53f / 57.375f};
    for (int c = 0; c < 3; ++c) {
        for (int y : {0, 7, 15}) {
            for (int x : {0, 11, 23}) {
                EXPECT_NEAR(blobs[0].at<float>(cv::Vec4i(0, c, y, x)), black_level[c], 1e-5);
                const float right = blobs[1].at<float>(cv::Vec4i(0, c, y, x));
                EXPECT_NEAR(right, c == 2 ? 2.64f : black_level[c], 1e-5) << "channel " << c;
            }
        }
    }
    EXPECT_NEAR(black_level[0], -2.1179f, 1e-4);
    EXPECT_NEAR(black_level[1], -2.0357f, 1e-4);
    EXPECT_NEAR(black_level[2], -1.8044f, 1e-4);
}

TEST(LightStereoPreprocess, RefusesAMissingRightCanvasAndBadImages) {
    BareLightStereo net;
    const cv::Mat canvas(8, 8, CV_8UC3, cv::Scalar::all(0));
    EXPECT_THROW(net.preprocess(canvas, nullptr), std::invalid_argument);
    const cv::Mat two_channel(8, 8, CV_8UC2, cv::Scalar::all(0));
    EXPECT_ANY_THROW(net.preprocess(two_channel, &two_channel));
}

/// A raw output of `shape` holding its own flat index as value.
cv::Mat ramp(const std::vector<int>& shape, int type = CV_32F) {
    cv::Mat m(static_cast<int>(shape.size()), shape.data(), CV_32F);
    float* p = m.ptr<float>();
    for (std::size_t i = 0; i < m.total(); ++i) p[i] = static_cast<float>(i % 2048);
    if (type == CV_32F) return m;
    cv::Mat converted;
    m.convertTo(converted, type);
    return converted;
}

struct CropCase {
    const char* name;
    std::vector<int> shape;
    int type;
    kelvo::CanvasLayout layout;
    int rows, cols;  ///< expected result size
};

class LightStereoPostprocess : public ::testing::TestWithParam<CropCase> {};

TEST_P(LightStereoPostprocess, SqueezesConvertsAndCrops) {
    const auto& c = GetParam();
    BareLightStereo net;
    const cv::Mat raw = ramp(c.shape, c.type);
    const cv::Mat out = net.postprocess(raw, c.layout);
    ASSERT_EQ(out.type(), CV_32F);
    ASSERT_EQ(out.rows, c.rows);
    ASSERT_EQ(out.cols, c.cols);
    EXPECT_TRUE(out.isContinuous());
    const int width = c.shape.back();
    for (int y : {0, c.rows / 2, c.rows - 1}) {
        for (int x : {0, c.cols / 2, c.cols - 1}) {
            const int index = (c.layout.pad_y + y) * width + c.layout.pad_x + x;
            EXPECT_EQ(out.at<float>(y, x), static_cast<float>(index % 2048)) << y << "," << x;
        }
    }
}

kelvo::CanvasLayout layout(int pad_x, int pad_y, int valid_w, int valid_h) {
    kelvo::CanvasLayout l;
    l.pad_x = pad_x;
    l.pad_y = pad_y;
    l.valid_w = valid_w;
    l.valid_h = valid_h;
    return l;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LightStereoPostprocess,
    ::testing::Values(
        CropCase{"nchw_letterbox", {1, 1, 256, 512}, CV_32F, layout(0, 32, 512, 192), 192, 512},
        CropCase{"chw_pillarbox", {1, 256, 512}, CV_32F, layout(40, 0, 432, 256), 256, 432},
        CropCase{"plain_2d", {256, 512}, CV_32F, layout(0, 0, 512, 256), 256, 512},
        CropCase{"float16", {1, 1, 64, 128}, CV_16F, layout(8, 4, 100, 50), 50, 100},
        CropCase{"float64", {1, 1, 16, 32}, CV_64F, layout(1, 2, 30, 10), 10, 30},
        CropCase{"past_the_edge", {1, 1, 256, 512}, CV_32F, layout(500, 250, 100, 100), 6, 12}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LightStereoPostprocessErrors, ShapesThatAreNotMapsUseTheExactMessage) {
    BareLightStereo net;
    const auto full = layout(0, 0, 512, 256);
    struct Bad {
        std::vector<int> shape;
        const char* message;
    };
    const Bad cases[] = {
        {{1, 2, 256, 512},
         "model output shape (1, 2, 256, 512) does not yield a 2D map after squeeze (got (2, "
         "256, 512))"},
        {{1, 512},
         "model output shape (1, 512) does not yield a 2D map after squeeze (got (512,))"},
        {{1, 1, 1, 1},
         "model output shape (1, 1, 1, 1) does not yield a 2D map after squeeze (got ())"},
        {{2, 3, 4},
         "model output shape (2, 3, 4) does not yield a 2D map after squeeze (got (2, "
         "3, 4))"},
    };
    for (const auto& bad : cases) {
        try {
            net.postprocess(ramp(bad.shape), full);
            ADD_FAILURE() << "no error for " << bad.message;
        } catch (const kelvo::RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()), bad.message);
        }
    }
}

TEST(LightStereoPostprocessErrors, ResultNeverAliasesTheRawOutput) {
    BareLightStereo net;
    cv::Mat raw = ramp({1, 1, 8, 8});
    const cv::Mat out = net.postprocess(raw, layout(0, 0, 8, 8));
    raw.setTo(-1.0f);
    EXPECT_EQ(out.at<float>(3, 3), 27.0f);
    // A non-continuous 2-D view is cropped correctly too.
    const cv::Mat big = ramp({20, 30});
    const cv::Mat view = big(cv::Rect(5, 4, 10, 8));
    const cv::Mat cropped = net.postprocess(view, layout(1, 1, 3, 2));
    EXPECT_EQ(cropped.at<float>(0, 0), big.at<float>(5, 6));
}

}  // namespace
