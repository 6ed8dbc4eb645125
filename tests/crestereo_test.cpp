// CREStereo combined and initial back-ends: variant tables and selection
// metadata against the published tables, blob layout, the half-size
// parameters, and the (1, 2, H, W) output checks.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/crestereo_combined.hpp"
#include "kelvo/inference/inferences/crestereo_initial.hpp"
#include "kelvo/inference/registry.hpp"
#include "neural_test_helpers.hpp"

namespace {

using kelvo::Json;
using kelvo::testing::keys_of;
using kelvo::testing::shape_of;

// Exposes the hook the framework calls before the first frame.
struct Combined : kelvo::CREStereoCombinedInference {
    using CREStereoCombinedInference::_init_extra_state;
};
struct Initial : kelvo::CREStereoInitialInference {
    using CREStereoInitialInference::_init_extra_state;
};

Json tags(std::initializer_list<const char*> items) {
    Json out = Json::array();
    for (const char* t : items) out.push_back(t);
    return out;
}

// ---------------------------------------------------------------- combined

struct CombinedRow {
    int n, h, w, speed, accuracy;
    Json fps;
    bool wizard;
    Json tags;
};

const std::vector<CombinedRow>& combined_table() {
    static const std::vector<CombinedRow> rows = {
        {2, 240, 320, 4, 4, Json::object(), true,
         tags({"live", "low-latency", "weight:light", "year:2022"})},
        {2, 320, 480, 4, 4, Json::object(), false, tags({"advanced", "weight:light", "year:2022"})},
        {2, 360, 640, 3, 4, Json::object(), false,
         tags({"advanced", "weight:balanced", "year:2022"})},
        {2, 480, 640, 3, 4, Json::object(), false,
         tags({"advanced", "weight:balanced", "year:2022"})},
        {2, 720, 1280, 3, 4, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {5, 240, 320, 3, 4, Json{{"cpu", 8}}, true,
         tags({"advanced", "weight:balanced", "year:2022"})},
        {5, 320, 480, 3, 4, Json::object(), false,
         tags({"advanced", "weight:balanced", "year:2022"})},
        {5, 360, 640, 3, 4, Json::object(), true,
         tags({"balanced", "default-family", "weight:balanced", "year:2022"})},
        {5, 480, 640, 2, 4, Json{{"nvidia", 11}}, false,
         tags({"advanced", "weight:balanced", "year:2022"})},
        {5, 720, 1280, 2, 4, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {10, 240, 320, 2, 5, Json::object(), false,
         tags({"advanced", "weight:balanced", "weight:heavy", "year:2022"})},
        {10, 320, 480, 2, 5, Json::object(), false,
         tags({"advanced", "weight:balanced", "weight:heavy", "year:2022"})},
        {10, 360, 640, 2, 5, Json::object(), false,
         tags({"advanced", "weight:balanced", "weight:heavy", "year:2022"})},
        {10, 480, 640, 2, 5, Json::object(), true,
         tags({"high-accuracy", "capture", "weight:balanced", "weight:heavy", "year:2022"})},
        {10, 720, 1280, 1, 5, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {20, 240, 320, 1, 5, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {20, 320, 480, 1, 5, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {20, 360, 640, 1, 5, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {20, 480, 640, 1, 5, Json::object(), false,
         tags({"advanced", "weight:heavy", "year:2022"})},
        {20, 720, 1280, 1, 5, Json::object(), true,
         tags({"high-accuracy", "capture", "max", "weight:heavy", "year:2022"})},
    };
    return rows;
}

std::string combined_summary(int n, int h, int w) {
    if (n == 2 && h == 240 && w == 320)
        return "Smallest CREStereo rung \u2014 runs on plain CPU. Lower latency, less detail.";
    if (n == 5 && h == 240 && w == 320) return "Balanced speed and accuracy.";
    if (n == 5 && h == 360 && w == 640)
        return "Strong accuracy at usable speed \u2014 good real-time middle ground.";
    if (n == 10 && h == 480 && w == 640)
        return "Near-best CREStereo accuracy. For careful capture, not live preview.";
    if (n == 20 && h == 720 && w == 1280)
        return "Highest CREStereo accuracy. Slow even on a high-end GPU.";
    return "CREStereo combined rung for fine-grained control.";
}

const std::vector<std::string> META_KEYS = {
    "task",    "speed_tier", "accuracy_tier",  "min_engine_class", "recommended_engine_class",
    "size_mb", "params_m",   "published_fps",  "accuracy_metric",  "summary",
    "tags",    "neural",     "wizard_visible", "license",          "license_url"};

TEST(CREStereoCombinedVariants, MatchTheTableEntryByEntry) {
    const auto variants = kelvo::CREStereoCombinedInference::variants();
    const auto& rows = combined_table();
    ASSERT_EQ(variants.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        const auto& v = variants[i];
        SCOPED_TRACE(v.slug);
        const std::string size = std::to_string(r.h) + "x" + std::to_string(r.w);
        const std::string file = "crestereo_combined_iter" + std::to_string(r.n) + "_" + size;
        EXPECT_EQ(v.slug, "iter" + std::to_string(r.n) + "-" + size);
        EXPECT_EQ(v.label, "iter " + std::to_string(r.n) + " / " + std::to_string(r.h) + "\u00d7" +
                               std::to_string(r.w));
        EXPECT_EQ(v.inference_kwargs, Json::object());
        ASSERT_EQ(v.files_to_download.size(), 1u);
        EXPECT_EQ(v.files_to_download[0].slug, file);
        EXPECT_EQ(v.files_to_download[0].filename, "model.onnx");
        EXPECT_EQ(v.files_to_download[0].archive_member, file + ".onnx");

        EXPECT_EQ(keys_of(v.configurations),
                  (std::vector<std::string>{"iter", "input_size", "selector_meta"}));
        EXPECT_EQ(v.configurations["iter"], r.n);
        EXPECT_EQ(v.configurations["input_size"], Json::array({r.h, r.w}));

        const Json& meta = v.configurations["selector_meta"];
        Json expected = Json::object();
        expected["task"] = "stereo";
        expected["speed_tier"] = r.speed;
        expected["accuracy_tier"] = r.accuracy;
        expected["min_engine_class"] = "cpu";
        expected["recommended_engine_class"] = "nvidia";
        expected["size_mb"] = 28.0;
        expected["params_m"] = 7.0;
        expected["published_fps"] = r.fps;
        expected["accuracy_metric"] = "Middlebury Bad-2.0 3.71 % / KITTI 2015 D1 ~1.7 % (paper)";
        expected["summary"] = combined_summary(r.n, r.h, r.w);
        expected["tags"] = r.tags;
        expected["neural"] = true;
        expected["wizard_visible"] = r.wizard;
        expected["license"] = "Apache-2.0";
        expected["license_url"] =
            "https://github.com/megvii-research/CREStereo/blob/master/LICENSE";
        EXPECT_EQ(keys_of(meta), META_KEYS);
        EXPECT_EQ(meta, expected);
        EXPECT_TRUE(meta["size_mb"].is_number_float());
        EXPECT_TRUE(meta["speed_tier"].is_number_integer());
        // The table is computed by the tier function, not stored per variant.
        EXPECT_EQ(meta, kelvo::detail::_crestereo_combined_meta(r.n, r.h, r.w));
    }
    EXPECT_EQ(variants.front().slug, "iter2-240x320");
    EXPECT_EQ(variants.back().slug, "iter20-720x1280");
}

TEST(CREStereoCombinedVariants, BuiltAfreshOnEachCall) {
    auto first = kelvo::CREStereoCombinedInference::variants();
    first[0].configurations["selector_meta"]["speed_tier"] = 0;
    const auto second = kelvo::CREStereoCombinedInference::variants();
    EXPECT_EQ(second[0].configurations["selector_meta"]["speed_tier"], 4);
}

TEST(CREStereoCombinedMeta, NamedCases) {
    const Json a = kelvo::detail::_crestereo_combined_meta(5, 480, 640);
    EXPECT_EQ(a["speed_tier"], 2);
    EXPECT_EQ(a["accuracy_tier"], 4);
    EXPECT_EQ(a["published_fps"], (Json{{"nvidia", 11}}));
    EXPECT_EQ(a["wizard_visible"], false);
    EXPECT_EQ(a["tags"], tags({"advanced", "weight:balanced", "year:2022"}));

    const Json b = kelvo::detail::_crestereo_combined_meta(10, 480, 640);
    EXPECT_EQ(b["tags"],
              tags({"high-accuracy", "capture", "weight:balanced", "weight:heavy", "year:2022"}));
    EXPECT_EQ(b["wizard_visible"], true);

    // Keys outside the shipped grid follow the same rules.
    const Json c = kelvo::detail::_crestereo_combined_meta(40, 100, 100);
    EXPECT_EQ(c["speed_tier"], 1);
    EXPECT_EQ(c["accuracy_tier"], 5);
    EXPECT_EQ(c["tags"], tags({"advanced", "weight:heavy", "year:2022"}));
    EXPECT_FALSE(c.contains("min_ram_mb"));
}

TEST(CREStereoCombinedClass, AttributesAndRegistration) {
    EXPECT_STREQ(kelvo::CREStereoCombinedInference::LABEL, "CREStereo Combined");
    EXPECT_STREQ(kelvo::CREStereoCombinedInference::ARCHITECTURE_FAMILY, "CREStereo");
    const auto cls = kelvo::inference_class("crestereo-combined");
    EXPECT_EQ(cls->label, "CREStereo Combined");
    EXPECT_TRUE(cls->neural);
    EXPECT_EQ(cls->variants().size(), 20u);
    EXPECT_EQ(cls->variant("iter5-360x640").files_to_download[0].slug,
              "crestereo_combined_iter5_360x640");
}

// A canvas whose pixels differ per channel and position, so channel order,
// layout and resizing all show in the blob.
cv::Mat pattern_canvas(int h, int w) {
    cv::Mat canvas(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            canvas.at<cv::Vec3b>(y, x) =
                cv::Vec3b(static_cast<uchar>((x * 7 + y) % 256), static_cast<uchar>((y * 5) % 256),
                          static_cast<uchar>((x + y * 3) % 256));
        }
    }
    return canvas;
}

// Raw RGB values of `image` (optionally resized bilinearly) in NCHW order.
void expect_raw_rgb_blob(const cv::Mat& blob, const cv::Mat& image, float tolerance) {
    ASSERT_EQ(blob.type(), CV_32F);
    ASSERT_EQ(shape_of(blob), (std::vector<int>{1, 3, image.rows, image.cols}));
    int bad = 0;
    for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < image.rows; ++y) {
            const float* row = blob.ptr<float>(0, c, y);
            for (int x = 0; x < image.cols; ++x) {
                const float want = image.at<cv::Vec3b>(y, x)[2 - c];  // RGB from BGR
                if (std::abs(row[x] - want) > tolerance) ++bad;
            }
        }
    }
    EXPECT_EQ(bad, 0);
}

TEST(CREStereoCombinedPreprocess, FourBlobsInInputOrder) {
    Combined model;
    model._init_extra_state();
    const cv::Mat left = pattern_canvas(240, 320);
    const cv::Mat right = 255 - pattern_canvas(240, 320);
    const auto blobs = model.preprocess(left, &right);
    ASSERT_EQ(blobs.size(), 4u);
    EXPECT_EQ(shape_of(blobs[0]), (std::vector<int>{1, 3, 120, 160}));
    EXPECT_EQ(shape_of(blobs[1]), (std::vector<int>{1, 3, 120, 160}));
    EXPECT_EQ(shape_of(blobs[2]), (std::vector<int>{1, 3, 240, 320}));
    EXPECT_EQ(shape_of(blobs[3]), (std::vector<int>{1, 3, 240, 320}));

    // Refinement pair: exact raw values, no mean, no scale.
    expect_raw_rgb_blob(blobs[2], left, 0.0f);
    expect_raw_rgb_blob(blobs[3], right, 0.0f);
    // Initial pair: the canvas halved bilinearly.
    cv::Mat half_l, half_r;
    cv::resize(left, half_l, cv::Size(160, 120), 0, 0, cv::INTER_LINEAR);
    cv::resize(right, half_r, cv::Size(160, 120), 0, 0, cv::INTER_LINEAR);
    expect_raw_rgb_blob(blobs[0], half_l, 1.0f);
    expect_raw_rgb_blob(blobs[1], half_r, 1.0f);
}

TEST(CREStereoCombinedPreprocess, OddCanvasHalvesByIntegerDivision) {
    Combined model;
    model._init_extra_state();
    const cv::Mat canvas = pattern_canvas(101, 203);
    const auto blobs = model.preprocess(canvas, &canvas);
    EXPECT_EQ(shape_of(blobs[0]), (std::vector<int>{1, 3, 50, 101}));
    EXPECT_EQ(shape_of(blobs[2]), (std::vector<int>{1, 3, 101, 203}));
}

TEST(CREStereoCombinedPreprocess, HalfSizeParamsRemadeOnlyWhenCanvasSizeChanges) {
    Combined model;
    model._init_extra_state();
    EXPECT_EQ(model.half_params_builds(), 0u);
    const cv::Mat small = pattern_canvas(240, 320);
    const cv::Mat large = pattern_canvas(360, 640);

    struct Step {
        const cv::Mat* canvas;
        std::uint64_t builds_after;
        int half_h, half_w;
    };
    const Step steps[] = {{&small, 1, 120, 160}, {&small, 1, 120, 160}, {&small, 1, 120, 160},
                          {&large, 2, 180, 320}, {&large, 2, 180, 320}, {&small, 3, 120, 160}};
    for (const auto& step : steps) {
        const auto blobs = model.preprocess(*step.canvas, step.canvas);
        EXPECT_EQ(model.half_params_builds(), step.builds_after);
        EXPECT_EQ(shape_of(blobs[0]), (std::vector<int>{1, 3, step.half_h, step.half_w}));
    }
}

TEST(CREStereoCombinedPreprocess, HalfSizeTakenFromLeftCanvas) {
    Combined model;
    model._init_extra_state();
    const cv::Mat left = pattern_canvas(240, 320);
    const cv::Mat right = pattern_canvas(360, 640);
    const auto blobs = model.preprocess(left, &right);
    EXPECT_EQ(shape_of(blobs[1]), (std::vector<int>{1, 3, 120, 160}));
    EXPECT_EQ(shape_of(blobs[3]), (std::vector<int>{1, 3, 360, 640}));
}

TEST(CREStereoCombinedPreprocess, MissingRightCanvasIsAnArgumentError) {
    Combined model;
    model._init_extra_state();
    EXPECT_THROW(model.preprocess(pattern_canvas(24, 32), nullptr), std::invalid_argument);
}

// ------------------------------------------------------------ postprocess

cv::Mat flow_output(const std::vector<int>& shape, int depth = CV_32F) {
    return kelvo::testing::patterned(
        shape, depth, [](std::size_t i) { return static_cast<float>(i % 4093) * 0.25f; });
}

// Channel 0 of batch 0 of a (1, 2, H, W) array, as float.
cv::Mat channel0(const cv::Mat& raw) {
    return kelvo::testing::leading_plane(raw, raw.size[2], raw.size[3]);
}

void expect_same(const cv::Mat& got, const cv::Mat& want) {
    ASSERT_EQ(got.type(), CV_32F);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got.isContinuous());
    EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0.0);
}

template <typename Model>
void check_flow_postprocess(const std::string& key) {
    Model model;
    model._init_extra_state();
    const cv::Mat raw = flow_output({1, 2, 240, 320});
    const kelvo::CanvasLayout layout{
        .canvas_w = 320, .canvas_h = 240, .pad_x = 8, .pad_y = 30, .valid_w = 300, .valid_h = 180};
    const cv::Mat out = model.postprocess(raw, layout);
    expect_same(out, channel0(raw)(cv::Rect(8, 30, 300, 180)));

    // float16 output comes back as float32 with the same values.
    const cv::Mat half = flow_output({1, 2, 240, 320}, CV_16F);
    expect_same(model.postprocess(half, layout), channel0(half)(cv::Rect(8, 30, 300, 180)));

    // A region reaching past the output is clipped to it.
    const kelvo::CanvasLayout past{.pad_x = 300, .pad_y = 200, .valid_w = 100, .valid_h = 100};
    EXPECT_EQ(model.postprocess(raw, past).size(), cv::Size(20, 40));

    struct Bad {
        std::vector<int> shape;
        const char* written;
    };
    const Bad bad[] = {{{1, 1, 240, 320}, "(1, 1, 240, 320)"},
                       {{2, 240, 320}, "(2, 240, 320)"},
                       {{2, 2, 240, 320}, "(2, 2, 240, 320)"},
                       {{1, 3, 240, 320}, "(1, 3, 240, 320)"},
                       {{1, 2, 1, 240, 320}, "(1, 2, 1, 240, 320)"}};
    for (const auto& b : bad) {
        try {
            model.postprocess(flow_output(b.shape), layout);
            ADD_FAILURE() << "accepted " << b.written;
        } catch (const kelvo::RuntimeError& e) {
            EXPECT_EQ(std::string(e.what()),
                      key + " expects raw output shape (1, 2, H, W); got " + b.written);
        }
    }
}

TEST(CREStereoCombinedPostprocess, ChannelZeroCroppedAndShapeChecked) {
    check_flow_postprocess<Combined>("crestereo-combined");
}

TEST(CREStereoCombinedPostprocess, EmptyFlowGivesAnEmptyMap) {
    Combined model;
    model._init_extra_state();
    const std::vector<int> shape{1, 2, 0, 320};
    const cv::Mat raw(4, shape.data(), CV_32F);
    EXPECT_TRUE(model.postprocess(raw, kelvo::CanvasLayout{.valid_w = 320, .valid_h = 10}).empty());
}

TEST(CREStereoCombinedPostprocess, ExactMessage) {
    Combined model;
    model._init_extra_state();
    try {
        model.postprocess(flow_output({1, 1, 240, 320}), kelvo::CanvasLayout{});
        FAIL();
    } catch (const kelvo::RuntimeError& e) {
        EXPECT_STREQ(e.what(),
                     "crestereo-combined expects raw output shape (1, 2, H, W); got (1, 1, 240, "
                     "320)");
    }
}

// ----------------------------------------------------------------- initial

struct InitialRow {
    int n, h, w, speed, accuracy;
    const char* min_class;
    const char* recommended;
    Json tags;
    bool wizard;
};

const std::vector<InitialRow>& initial_table() {
    static const std::vector<InitialRow> rows = {
        {2, 160, 240, 4, 3, "cpu", "igpu", tags({"live", "weight:light", "year:2022"}), true},
        {2, 180, 320, 3, 3, "igpu", "igpu", tags({"advanced", "weight:light", "year:2022"}), false},
        {2, 360, 640, 3, 3, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {2, 480, 640, 3, 3, "nvidia", "nvidia", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {2, 720, 1280, 3, 3, "nvidia", "nvidia", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {5, 160, 240, 3, 4, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {5, 180, 320, 3, 4, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {5, 360, 640, 2, 4, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {5, 480, 640, 2, 4, "nvidia", "nvidia", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {5, 720, 1280, 2, 4, "nvidia", "nvidia", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {10, 180, 320, 1, 4, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {10, 240, 320, 1, 4, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {10, 360, 640, 1, 4, "igpu", "igpu", tags({"advanced", "weight:balanced", "year:2022"}),
         false},
        {10, 480, 640, 1, 4, "nvidia", "nvidia", tags({"advanced", "weight:heavy", "year:2022"}),
         false},
        {10, 720, 1280, 1, 4, "nvidia", "nvidia", tags({"advanced", "weight:heavy", "year:2022"}),
         false},
    };
    return rows;
}

TEST(CREStereoInitialVariants, MatchTheTableEntryByEntry) {
    const auto variants = kelvo::CREStereoInitialInference::variants();
    const auto& rows = initial_table();
    ASSERT_EQ(variants.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        const auto& v = variants[i];
        SCOPED_TRACE(v.slug);
        const std::string size = std::to_string(r.h) + "x" + std::to_string(r.w);
        const std::string file = "crestereo_init_iter" + std::to_string(r.n) + "_" + size;
        EXPECT_EQ(v.slug, "iter" + std::to_string(r.n) + "-" + size);
        EXPECT_EQ(v.label, "iter " + std::to_string(r.n) + " / " + std::to_string(r.h) + "\u00d7" +
                               std::to_string(r.w));
        ASSERT_EQ(v.files_to_download.size(), 1u);
        EXPECT_EQ(v.files_to_download[0].slug, file);
        EXPECT_EQ(v.files_to_download[0].filename, "model.onnx");
        EXPECT_EQ(v.files_to_download[0].archive_member, file + ".onnx");
        EXPECT_EQ(keys_of(v.configurations),
                  (std::vector<std::string>{"iter", "input_size", "selector_meta"}));
        EXPECT_EQ(v.configurations["iter"], r.n);
        EXPECT_EQ(v.configurations["input_size"], Json::array({r.h, r.w}));

        Json expected = Json::object();
        expected["task"] = "stereo";
        expected["speed_tier"] = r.speed;
        expected["accuracy_tier"] = r.accuracy;
        expected["min_engine_class"] = r.min_class;
        expected["recommended_engine_class"] = r.recommended;
        expected["size_mb"] = 26.0;
        expected["params_m"] = 7.0;
        expected["published_fps"] = Json::object();
        expected["accuracy_metric"] =
            "Middlebury Bad-2.0 3.71 % / KITTI 2015 D1 ~1.7 % (paper, combined)";
        expected["summary"] = r.wizard ? "Neural stereo with sharper edges than LightStereo."
                                       : "CREStereo single-pass variant \u2014 finer control "
                                         "over the speed/accuracy curve.";
        expected["tags"] = r.tags;
        expected["neural"] = true;
        expected["wizard_visible"] = r.wizard;
        expected["license"] = "Apache-2.0";
        expected["license_url"] =
            "https://github.com/megvii-research/CREStereo/blob/master/LICENSE";
        const Json& meta = v.configurations["selector_meta"];
        EXPECT_EQ(keys_of(meta), META_KEYS);
        EXPECT_EQ(meta, expected);
        EXPECT_EQ(meta, kelvo::detail::_crestereo_initial_meta(r.n, r.h, r.w));
    }
    EXPECT_EQ(variants.front().slug, "iter2-160x240");
    EXPECT_EQ(variants.front().files_to_download[0].slug, "crestereo_init_iter2_160x240");
}

TEST(CREStereoInitialMeta, NamedCases) {
    const Json a = kelvo::detail::_crestereo_initial_meta(10, 480, 640);
    EXPECT_EQ(a["speed_tier"], 1);
    EXPECT_EQ(a["accuracy_tier"], 4);
    EXPECT_EQ(a["min_engine_class"], "nvidia");
    EXPECT_EQ(a["recommended_engine_class"], "nvidia");
    EXPECT_EQ(a["tags"], tags({"advanced", "weight:heavy", "year:2022"}));

    const Json b = kelvo::detail::_crestereo_initial_meta(2, 180, 320);
    EXPECT_EQ(b["speed_tier"], 3);
    EXPECT_EQ(b["min_engine_class"], "igpu");
    EXPECT_EQ(b["tags"], tags({"advanced", "weight:light", "year:2022"}));

    // Speed tiers test iteration counts for equality, not "at most".
    EXPECT_EQ(kelvo::detail::_crestereo_initial_meta(1, 160, 240)["speed_tier"], 1);
    EXPECT_EQ(kelvo::detail::_crestereo_initial_meta(3, 160, 240)["speed_tier"], 1);
}

TEST(CREStereoInitialClass, AttributesAndRegistration) {
    EXPECT_STREQ(kelvo::CREStereoInitialInference::LABEL, "CREStereo Initial");
    EXPECT_STREQ(kelvo::CREStereoInitialInference::ARCHITECTURE_FAMILY, "CREStereo");
    const auto cls = kelvo::inference_class("crestereo-initial");
    EXPECT_EQ(cls->label, "CREStereo Initial");
    EXPECT_EQ(cls->variants().size(), 15u);
}

TEST(CREStereoInitialPreprocess, TwoRawPixelBlobs) {
    Initial model;
    model._init_extra_state();
    const cv::Mat left = pattern_canvas(160, 240);
    const cv::Mat right = 255 - pattern_canvas(160, 240);
    const auto blobs = model.preprocess(left, &right);
    ASSERT_EQ(blobs.size(), 2u);
    expect_raw_rgb_blob(blobs[0], left, 0.0f);
    expect_raw_rgb_blob(blobs[1], right, 0.0f);
    EXPECT_THROW(model.preprocess(left, nullptr), std::invalid_argument);
}

TEST(CREStereoInitialPostprocess, ChannelZeroCroppedAndShapeChecked) {
    check_flow_postprocess<Initial>("crestereo-initial");
}

}  // namespace
