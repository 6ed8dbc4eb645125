// The "rectify-passthrough" back-end: size validation, the loud inference
// hooks, variants and metadata.
#include <gtest/gtest.h>

#include <string>

#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/rectify_passthrough.hpp"
#include "kelvo/inference/registry.hpp"

namespace {

using kelvo::HeightWidth;
using kelvo::Json;
using kelvo::RectifyPassthroughInference;

const char* const SUBMIT_MESSAGE =
    "RectifyPassthroughInference.submit() called — pipeline should have taken the bypass "
    "branch. This usually means the worker's rectify-passthrough check is wired wrong; file a "
    "bug.";
const char* const POSTPROCESS_MESSAGE =
    "RectifyPassthroughInference.postprocess() called — same bug.";

template <typename F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing raised)";
}

TEST(RectifyPassthrough, ClassAttributes) {
    EXPECT_STREQ(RectifyPassthroughInference::LABEL, "Rectify passthrough (no inference)");
    EXPECT_FALSE(RectifyPassthroughInference::NEURAL);
}

TEST(RectifyPassthrough, SizeAndLabel) {
    const RectifyPassthroughInference p(Json::array({360, 640}));
    EXPECT_EQ(p.input_size(), (HeightWidth{360, 640}));
    EXPECT_EQ(p.label(), "rectify-passthrough (360x640)");
    const RectifyPassthroughInference q(HeightWidth{256, 512});
    EXPECT_EQ(q.label(), "rectify-passthrough (256x512)");
}

TEST(RectifyPassthrough, AcceptsATwoElementListOfPositiveNumbers) {
    const RectifyPassthroughInference p(Json::array({480.0, 720}));
    EXPECT_EQ(p.input_size(), (HeightWidth{480, 720}));
}

struct BadSize {
    Json size;
    const char* shown;
};

TEST(RectifyPassthrough, RefusesBadSizesWithTheirRepresentation) {
    const BadSize cases[] = {
        {Json::array({0, 640}), "(0, 640)"},
        {Json::array({360, -1}), "(360, -1)"},
        {Json::array({360, 640, 3}), "(360, 640, 3)"},
        {Json::array({360}), "(360,)"},
        {Json::array(), "()"},
        {Json::array({-2.5, 640}), "(-2.5, 640)"},
        // Not whole, or beyond any canvas: refused rather than truncated or overflowed.
        {Json::array({360.5, 640}), "(360.5, 640)"},
        {Json::array({360, 1e12}), "(360, 1000000000000.0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        try {
            RectifyPassthroughInference p(c.size);
            ADD_FAILURE() << "accepted " << c.size.dump();
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("canvas_size must be (H, W) of positive ints; got ") + c.shown);
        }
    }
    EXPECT_THROW(RectifyPassthroughInference(HeightWidth{0, 640}), std::invalid_argument);
}

TEST(RectifyPassthrough, InferenceHooksRaiseTheirMessages) {
    RectifyPassthroughInference p(HeightWidth{360, 640});
    EXPECT_EQ(message_of([&] { p.submit({}); }), SUBMIT_MESSAGE);
    EXPECT_EQ(message_of([&] { p.submit({cv::Mat(2, 2, CV_8U), cv::Mat()}); }), SUBMIT_MESSAGE);
    EXPECT_EQ(message_of([&] { p.postprocess(cv::Mat(), kelvo::CanvasLayout{}); }),
              POSTPROCESS_MESSAGE);
    EXPECT_THROW(p.submit({}), kelvo::RuntimeError);
    EXPECT_THROW(p.postprocess(cv::Mat(), kelvo::CanvasLayout{}), kelvo::RuntimeError);
}

TEST(RectifyPassthrough, VariantsShareOneMetadata) {
    const auto variants = RectifyPassthroughInference::variants();
    ASSERT_EQ(variants.size(), 3u);
    const char* slugs[] = {"256x512", "360x640", "480x720"};
    const char* labels[] = {"256×512 (fast)", "360×640 (balanced)", "480×720 (detailed)"};
    const int sizes[][2] = {{256, 512}, {360, 640}, {480, 720}};
    Json expected_meta = {
        {"task", "stereo"},
        {"speed_tier", 5},
        {"accuracy_tier", 0},
        {"min_engine_class", "cpu"},
        {"recommended_engine_class", "cpu"},
        {"size_mb", 0.0},
        {"params_m", 0.0},
        {"published_fps", Json::object()},
        {"accuracy_metric", "n/a (no inference)"},
        {"summary",
         "No depth — emit rectified frames only. For calibration sanity-checks and capture."},
        {"tags", {"debug", "capture", "no-inference"}},
        {"neural", false},
        {"wizard_visible", false},
        {"license", "Apache-2.0"},
        {"license_url", ""},
    };
    for (std::size_t i = 0; i < 3; ++i) {
        const auto& v = variants[i];
        SCOPED_TRACE(slugs[i]);
        EXPECT_EQ(v.slug, slugs[i]);
        EXPECT_EQ(v.label, labels[i]);
        EXPECT_EQ(v.inference_kwargs, (Json{{"canvas_size", {sizes[i][0], sizes[i][1]}}}));
        EXPECT_TRUE(v.files_to_download.empty());
        EXPECT_EQ(v.configurations.begin().key(), "input_size");
        EXPECT_EQ(v.configurations["input_size"], Json::array({sizes[i][0], sizes[i][1]}));
        // dump() compares key order too.
        EXPECT_EQ(v.configurations["selector_meta"].dump(), expected_meta.dump());
    }
}

TEST(RectifyPassthrough, RegisteredUnderItsKey) {
    const auto cls = kelvo::inference_class("rectify-passthrough");
    EXPECT_EQ(cls->label, "Rectify passthrough (no inference)");
    EXPECT_FALSE(cls->neural);
    EXPECT_TRUE(cls->controls.empty());
    const auto backend = cls->create(cls->variant("480x720"), {});
    EXPECT_EQ(backend->input_size(), (HeightWidth{480, 720}));
    EXPECT_EQ(backend->label(), "rectify-passthrough (480x720)");
}

}  // namespace
