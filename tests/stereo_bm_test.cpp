// The "stereo-bm" back-end: variants, controls, selection metadata and the
// matcher it builds, checked against tables and against OpenCV itself.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/inference/inferences/stereo_bm.hpp"
#include "kelvo/inference/registry.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::HeightWidth;
using kelvo::Json;
using kelvo::StereoBMInference;

struct ControlRow {
    const char* name;
    const char* label;
    int default_value;
    int min, max, step;
    const char* unit;  // nullptr: no unit
};

const ControlRow NUMBER_CONTROLS[] = {
    {"min_disparity", "Min disparity", 0, -128, 128, 1, "px"},
    {"num_disparities", "Num disparities", 96, 16, 512, 16, "px"},
    {"block_size", "Block size", 9, 5, 51, 2, "px"},
    {"pre_filter_size", "Pre-filter size", 9, 5, 51, 2, "px"},
    {"pre_filter_cap", "Pre-filter cap", 31, 1, 63, 1, nullptr},
    {"texture_threshold", "Texture threshold", 10, 0, 2000, 1, nullptr},
    {"uniqueness_ratio", "Uniqueness ratio", 15, 0, 50, 1, "%"},
    {"speckle_window_size", "Speckle window size", 100, 0, 400, 1, nullptr},
    {"speckle_range", "Speckle range", 2, 0, 32, 1, nullptr},
    {"disp12_max_diff", "Disp12 max diff (-1 = off)", -1, -1, 32, 1, nullptr},
};

TEST(StereoBMClass, ClassAttributes) {
    EXPECT_STREQ(StereoBMInference::LABEL, "StereoBM (classical, CPU, fastest)");
    EXPECT_FALSE(StereoBMInference::NEURAL);
    ASSERT_EQ(kelvo::detail::BM_PRE_FILTER_TYPES.size(), 2u);
    EXPECT_EQ(kelvo::detail::BM_PRE_FILTER_TYPES[0].first, 0.0);
    EXPECT_EQ(kelvo::detail::BM_PRE_FILTER_TYPES[0].second, "NORMALIZED_RESPONSE");
    EXPECT_EQ(kelvo::detail::BM_PRE_FILTER_TYPES[1].first, 1.0);
    EXPECT_EQ(kelvo::detail::BM_PRE_FILTER_TYPES[1].second, "XSOBEL");
}

TEST(StereoBMClass, ControlsInDeclarationOrder) {
    const auto controls = StereoBMInference::CONTROLS();
    const std::vector<std::string> order = {
        "min_disparity",       "num_disparities", "block_size",        "pre_filter_type",
        "pre_filter_size",     "pre_filter_cap",  "texture_threshold", "uniqueness_ratio",
        "speckle_window_size", "speckle_range",   "disp12_max_diff"};
    ASSERT_EQ(controls.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(controls[i].name, order[i]);
}

TEST(StereoBMClass, NumberControlsMatchTheirTable) {
    const auto controls = StereoBMInference::CONTROLS();
    for (const auto& row : NUMBER_CONTROLS) {
        SCOPED_TRACE(row.name);
        auto it = std::find_if(controls.begin(), controls.end(),
                               [&](const auto& c) { return c.name == row.name; });
        ASSERT_NE(it, controls.end());
        EXPECT_EQ(it->kind, "number");
        EXPECT_EQ(it->label, row.label);
        EXPECT_EQ(it->default_value, row.default_value);
        EXPECT_EQ(it->min, row.min);
        EXPECT_EQ(it->max, row.max);
        EXPECT_EQ(it->step, row.step);
        if (row.unit) {
            EXPECT_EQ(it->unit, std::optional<std::string>(row.unit));
        } else {
            EXPECT_FALSE(it->unit.has_value());
        }
        EXPECT_FALSE(it->enum_values.has_value());
    }
}

TEST(StereoBMClass, PreFilterTypeIsTheOneEnum) {
    const auto controls = StereoBMInference::CONTROLS();
    const auto& c = controls[3];
    EXPECT_EQ(c.name, "pre_filter_type");
    EXPECT_EQ(c.kind, "enum");
    EXPECT_EQ(c.label, "Pre-filter type");
    EXPECT_EQ(c.default_value, cv::StereoBM::PREFILTER_XSOBEL);
    ASSERT_TRUE(c.enum_values.has_value());
    ASSERT_EQ(c.enum_values->size(), 2u);
    EXPECT_EQ((*c.enum_values)[0], (std::pair<double, std::string>{0.0, "NORMALIZED_RESPONSE"}));
    EXPECT_EQ((*c.enum_values)[1], (std::pair<double, std::string>{1.0, "XSOBEL"}));
    EXPECT_FALSE(c.min || c.max || c.step || c.unit);
}

struct VariantRow {
    const char* slug;
    const char* label;
    int height, width;
    int speed_tier;
    bool wizard;
    const char* summary;
};

const VariantRow VARIANTS[] = {
    {"256x512", "256×512 (fast)", 256, 512, 5, true,
     "Fastest classical stereo. CPU-only, lowest quality but no download."},
    {"360x640", "360×640 (balanced)", 360, 640, 4, false,
     "Classical block matching at higher resolution."},
    {"480x720", "480×720 (detailed)", 480, 720, 3, false,
     "Classical block matching at the highest supported resolution."},
};

TEST(StereoBMClass, VariantsMatchTheirTable) {
    const auto variants = StereoBMInference::variants();
    ASSERT_EQ(variants.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& v = variants[i];
        const auto& row = VARIANTS[i];
        SCOPED_TRACE(row.slug);
        EXPECT_EQ(v.slug, row.slug);
        EXPECT_EQ(v.label, row.label);
        EXPECT_EQ(v.inference_kwargs, (Json{{"canvas_size", {row.height, row.width}}}));
        EXPECT_TRUE(v.files_to_download.empty());
        ASSERT_EQ(v.configurations.size(), 2u);
        EXPECT_EQ(v.configurations.begin().key(), "input_size");
        EXPECT_EQ(v.configurations["input_size"], Json::array({row.height, row.width}));
        const Json& meta = v.configurations["selector_meta"];
        const std::vector<std::string> keys = {"task",
                                               "speed_tier",
                                               "accuracy_tier",
                                               "min_engine_class",
                                               "recommended_engine_class",
                                               "size_mb",
                                               "params_m",
                                               "published_fps",
                                               "accuracy_metric",
                                               "summary",
                                               "tags",
                                               "neural",
                                               "wizard_visible",
                                               "license",
                                               "license_url"};
        std::vector<std::string> got;
        for (auto it = meta.begin(); it != meta.end(); ++it) got.push_back(it.key());
        EXPECT_EQ(got, keys);
        EXPECT_EQ(meta["task"], "stereo");
        EXPECT_EQ(meta["speed_tier"], row.speed_tier);
        EXPECT_EQ(meta["accuracy_tier"], 1);
        EXPECT_EQ(meta["min_engine_class"], "cpu");
        EXPECT_EQ(meta["recommended_engine_class"], "cpu");
        EXPECT_TRUE(meta["size_mb"].is_number_float());
        EXPECT_EQ(meta["size_mb"], 0.0);
        EXPECT_EQ(meta["params_m"], 0.0);
        EXPECT_EQ(meta["published_fps"], Json::object());
        EXPECT_EQ(meta["accuracy_metric"], "Lowest in catalog (no smoothness term)");
        EXPECT_EQ(meta["summary"], row.summary);
        EXPECT_EQ(meta["tags"],
                  Json::array({"classical", "cpu", "no-download", "low-latency", "weight:light"}));
        EXPECT_EQ(meta["neural"], false);
        EXPECT_EQ(meta["wizard_visible"], row.wizard);
        EXPECT_EQ(meta["license"], "Apache-2.0");
        EXPECT_EQ(meta["license_url"], "https://opencv.org/license/");
    }
}

TEST(StereoBMClass, VariantsAreBuiltAfreshOnEachCall) {
    auto first = StereoBMInference::variants();
    first[0].label = "changed";
    first[0].configurations["selector_meta"]["speed_tier"] = 0;
    const auto second = StereoBMInference::variants();
    EXPECT_EQ(second[0].label, "256×512 (fast)");
    EXPECT_EQ(second[0].configurations["selector_meta"]["speed_tier"], 5);
}

TEST(StereoBMClass, RegisteredUnderItsKey) {
    const auto cls = kelvo::inference_class("stereo-bm");
    EXPECT_EQ(cls->label, "StereoBM (classical, CPU, fastest)");
    EXPECT_FALSE(cls->neural);
    EXPECT_EQ(cls->controls.size(), 11u);
    const auto backend = cls->create(cls->variant("360x640"), {});
    EXPECT_EQ(backend->input_size(), (HeightWidth{360, 640}));
    EXPECT_EQ(backend->label(), "StereoBM (360x640)");
    EXPECT_NE(dynamic_cast<StereoBMInference*>(backend.get()), nullptr);
}

TEST(StereoBMInstance, LabelAndInputSize) {
    const StereoBMInference bm(HeightWidth{480, 720});
    EXPECT_EQ(bm.label(), "StereoBM (480x720)");
    EXPECT_EQ(bm.input_size(), (HeightWidth{480, 720}));
}

TEST(StereoBMInstance, DefaultMatcherParameters) {
    const StereoBMInference bm(HeightWidth{256, 512});
    const auto m = bm.matcher();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->getNumDisparities(), 96);
    EXPECT_EQ(m->getBlockSize(), 9);
    EXPECT_EQ(m->getMinDisparity(), 0);
    EXPECT_EQ(m->getPreFilterType(), cv::StereoBM::PREFILTER_XSOBEL);
    EXPECT_EQ(m->getPreFilterSize(), 9);
    EXPECT_EQ(m->getPreFilterCap(), 31);
    EXPECT_EQ(m->getTextureThreshold(), 10);
    EXPECT_EQ(m->getUniquenessRatio(), 15);
    EXPECT_EQ(m->getSpeckleWindowSize(), 100);
    EXPECT_EQ(m->getSpeckleRange(), 2);
    EXPECT_EQ(m->getDisp12MaxDiff(), -1);
}

// Each control reaches exactly its own matcher parameter when the matcher is rebuilt.
struct SetterRow {
    const char* control;
    int value;
    int (*read)(const cv::StereoBM&);
};

const SetterRow SETTERS[] = {
    {"min_disparity", -16, [](const cv::StereoBM& m) { return m.getMinDisparity(); }},
    {"num_disparities", 128, [](const cv::StereoBM& m) { return m.getNumDisparities(); }},
    {"block_size", 15, [](const cv::StereoBM& m) { return m.getBlockSize(); }},
    {"pre_filter_type", 0, [](const cv::StereoBM& m) { return m.getPreFilterType(); }},
    {"pre_filter_size", 21, [](const cv::StereoBM& m) { return m.getPreFilterSize(); }},
    {"pre_filter_cap", 50, [](const cv::StereoBM& m) { return m.getPreFilterCap(); }},
    {"texture_threshold", 300, [](const cv::StereoBM& m) { return m.getTextureThreshold(); }},
    {"uniqueness_ratio", 40, [](const cv::StereoBM& m) { return m.getUniquenessRatio(); }},
    {"speckle_window_size", 0, [](const cv::StereoBM& m) { return m.getSpeckleWindowSize(); }},
    {"speckle_range", 9, [](const cv::StereoBM& m) { return m.getSpeckleRange(); }},
    {"disp12_max_diff", 3, [](const cv::StereoBM& m) { return m.getDisp12MaxDiff(); }},
};

TEST(StereoBMInstance, EachControlReachesItsSetterOnRebuild) {
    for (const auto& row : SETTERS) {
        SCOPED_TRACE(row.control);
        StereoBMInference bm(HeightWidth{256, 512});
        const auto before = bm.matcher();
        bm.set_inference_control(row.control, row.value);
        // The old matcher stays until the next rebuild.
        EXPECT_EQ(bm.matcher(), before);
        bm._rebuild_matcher();
        EXPECT_NE(bm.matcher(), before);
        EXPECT_EQ(row.read(*bm.matcher()), row.value);
        EXPECT_EQ(bm.control(row.control), row.value);
    }
}

TEST(StereoBMInstance, ControlsAreValidatedAgainstTheirRanges) {
    StereoBMInference bm(HeightWidth{256, 512});
    const std::vector<std::pair<std::string, int>> bad = {
        {"num_disparities", 100}, {"num_disparities", 0},  {"block_size", 10},
        {"block_size", 53},       {"pre_filter_type", 2},  {"pre_filter_cap", 0},
        {"min_disparity", 129},   {"disp12_max_diff", -2}, {"no_such_control", 1}};
    for (const auto& [name, value] : bad) {
        SCOPED_TRACE(name + "=" + std::to_string(value));
        EXPECT_THROW(bm.set_inference_control(name, value), std::invalid_argument);
    }
    EXPECT_EQ(bm.control("num_disparities"), 96);
    EXPECT_EQ(bm.control("block_size"), 9);
}

TEST(StereoBMInstance, ControlValuesArePerInstance) {
    StereoBMInference a(HeightWidth{256, 512}), b(HeightWidth{256, 512});
    a.set_inference_control("block_size", 21);
    EXPECT_EQ(a.control("block_size"), 21);
    EXPECT_EQ(b.control("block_size"), 9);
    const StereoBMInference c(HeightWidth{256, 512});
    EXPECT_EQ(c.control("block_size"), 9);
}

// compute() equals OpenCV's StereoBM with the same parameters, fixed point / 16,
// and rebuilds the matcher when a control changed.
TEST(StereoBMInstance, ComputeMatchesOpenCVAndFollowsControls) {
    const auto dir = kelvo::testing::opencv_sample_dir();
    cv::Mat l = cv::imread((dir / "aloeL.jpg").string(), cv::IMREAD_GRAYSCALE);
    cv::Mat r = cv::imread((dir / "aloeR.jpg").string(), cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(l.empty());
    ASSERT_FALSE(r.empty());
    cv::resize(l, l, cv::Size(512, 443), 0, 0, cv::INTER_AREA);
    cv::resize(r, r, cv::Size(512, 443), 0, 0, cv::INTER_AREA);

    auto reference = [&](int ndisp, int block) {
        auto m = cv::StereoBM::create(ndisp, block);
        m->setPreFilterType(cv::StereoBM::PREFILTER_XSOBEL);
        m->setPreFilterSize(9);
        m->setPreFilterCap(31);
        m->setTextureThreshold(10);
        m->setUniquenessRatio(15);
        m->setSpeckleWindowSize(100);
        m->setSpeckleRange(2);
        m->setDisp12MaxDiff(-1);
        cv::Mat fixed;
        m->compute(l, r, fixed);
        return fixed;
    };
    auto check = [&](const cv::Mat& got, const cv::Mat& fixed) {
        ASSERT_EQ(got.type(), CV_32F);
        ASSERT_EQ(got.size(), fixed.size());
        int mismatches = 0, invalid = 0;
        for (int y = 0; y < got.rows; ++y) {
            for (int x = 0; x < got.cols; ++x) {
                const short f = fixed.at<short>(y, x);
                const float g = got.at<float>(y, x);
                if (f < 0) {
                    ++invalid;
                    mismatches += std::isnan(g) ? 0 : 1;
                } else {
                    mismatches += (g == f / 16.0f) ? 0 : 1;
                }
            }
        }
        EXPECT_EQ(mismatches, 0);
        EXPECT_GT(invalid, 0);
    };
    StereoBMInference bm(HeightWidth{443, 512});
    check(bm.compute(l, r), reference(96, 9));
    bm.set_inference_control("block_size", 21);
    bm.set_inference_control("num_disparities", 64);
    const cv::Mat changed = bm.compute(l, r);
    check(changed, reference(64, 21));
    EXPECT_EQ(bm.matcher()->getBlockSize(), 21);
}

}  // namespace
