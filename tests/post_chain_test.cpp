// The post-processing chain on maps built by hand: what each stage keeps,
// removes and fills, the confidence it gives, and the temporal filter's
// history and resets.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "kelvo/pipeline/post_chain.hpp"

namespace post_chain_test {

using kelvo::PostChain;
using kelvo::PostChainTraits;
using kelvo::PostInput;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

const PostChainTraits CLASSICAL{.backend = "stereo-sgbm", .right_view = true};
const PostChainTraits NEURAL{.backend = "lightstereo"};
const PostChainTraits MONO{.backend = "depth-anything-v2-small", .depth_map = true};

/// Every stage off but the ones a test turns on.
void only(PostChain& chain, std::initializer_list<std::pair<const char*, int>> stages) {
    for (const char* name : {"post_lr_check", "post_speckle_window", "post_fill"})
        chain.set_control(name, 0);
    for (const auto& [name, value] : stages) chain.set_control(name, value);
}

cv::Mat row_map(std::initializer_list<float> values) {
    cv::Mat map(1, static_cast<int>(values.size()), CV_32F);
    int x = 0;
    for (float v : values) map.at<float>(0, x++) = v;
    return map;
}

int holes(const cv::Mat& map) {
    return cv::countNonZero(~(map == map));  // OpenCV says NaN != NaN is false
}

TEST(PostChain, AStageTheBackEndCannotFeedIsRefusedNamingBoth) {
    const struct {
        PostChainTraits traits;
        const char* control;
        int value;
        const char* says;
    } cases[] = {
        {NEURAL, "post_lr_check", 1, "back-end 'lightstereo' gives none"},
        {MONO, "post_lr_check", 2, "post_lr_check needs a right-view map"},
        {MONO, "post_speckle_window", 50, "back-end 'depth-anything-v2-small' gives depth"},
        {CLASSICAL, "post_lr_check", 33, "0..32 px"},
        {CLASSICAL, "post_temporal_alpha_pct", 0, "1..100 %"},
        {CLASSICAL, "post_fill", 2, "post_fill"},
        {CLASSICAL, "post_nothing", 1, "post_nothing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.control) + "=" + std::to_string(c.value));
        PostChain chain(c.traits);
        try {
            chain.set_control(c.control, c.value);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
    // Off is always allowed, and a stage the back-end cannot feed starts off.
    PostChain mono(MONO);
    EXPECT_EQ(mono.control("post_lr_check"), 0);
    EXPECT_EQ(mono.control("post_speckle_window"), 0);
    EXPECT_NO_THROW(mono.set_control("post_lr_check", 0));
    EXPECT_EQ(PostChain(CLASSICAL).control("post_lr_check"), 1);
}

// Nothing to work with is an answer: all holes, no trust, whatever is on.
TEST(PostChain, AMapWithoutAValidPixelStaysAllHolesWithConfidenceZero) {
    for (const auto& traits : {CLASSICAL, MONO}) {
        PostChain chain(traits);
        chain.set_control("post_edge_filter", 1);
        chain.set_control("post_temporal", 1);
        const cv::Mat empty(24, 32, CV_32F, cv::Scalar(NaN));
        for (int frame = 0; frame < 3; ++frame) {
            PostInput in{.map = empty, .guide = cv::Mat(24, 32, CV_8U, cv::Scalar(90))};
            if (traits.right_view) in.right_view = empty;
            in.frame_index = frame;
            const auto out = chain.process(in);
            ASSERT_EQ(out.map.size(), empty.size());
            ASSERT_EQ(out.confidence.type(), CV_8U);
            EXPECT_EQ(holes(out.map), 24 * 32);
            EXPECT_EQ(cv::countNonZero(out.confidence), 0);
        }
    }
}

TEST(PostChain, HolesTakeTheFartherOfTheValuesBoundingThem) {
    const float h = NaN;
    const struct {
        const char* name;
        bool depth;
        cv::Mat in;
        cv::Mat expected;
    } cases[] = {
        {"disparity: the smaller bound", false, row_map({9, 9, 9, 9, 9, h, h, h, 4, 4, 4, 4, 4}),
         row_map({9, 9, 9, 9, 9, 4, 4, 4, 4, 4, 4, 4, 4})},
        {"depth: the larger bound", true, row_map({9, 9, 9, 9, 9, h, h, h, 4, 4, 4, 4, 4}),
         row_map({9, 9, 9, 9, 9, 9, 9, 9, 4, 4, 4, 4, 4})},
        {"a short run is no bound and is filled over", false,
         row_map({h, 0, 0, h, h, 6, 6, 6, 6, 6}), row_map({6, 6, 6, 6, 6, 6, 6, 6, 6, 6})},
        {"the bound is the median next to the hole", false,
         row_map({8, 8, 8, 8, 1, h, 7, 7, 7, 7, 7}), row_map({8, 8, 8, 8, 1, 7, 7, 7, 7, 7, 7})},
        {"a row without a trusted run keeps its holes", false, row_map({h, 3, 3, h, 3, h}),
         row_map({h, 3, 3, h, 3, h})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PostChain chain(c.depth ? MONO : CLASSICAL);
        only(chain, {{"post_fill", 1}});
        const auto out = chain.process({.map = c.in});
        for (int x = 0; x < c.in.cols; ++x) {
            const float got = out.map.at<float>(0, x), want = c.expected.at<float>(0, x);
            SCOPED_TRACE(x);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(got)) << got;
                EXPECT_EQ(out.confidence.at<std::uint8_t>(0, x), 0);
            } else {
                EXPECT_EQ(got, want);
                if (std::isnan(c.in.at<float>(0, x)) || got != c.in.at<float>(0, x)) {
                    EXPECT_EQ(out.confidence.at<std::uint8_t>(0, x), kelvo::FILLED_CONFIDENCE);
                }
            }
        }
    }
}

// Left view: disparity 4 everywhere. The right view agrees, disagrees by 3,
// has no value, or the left pixel points outside it.
TEST(PostChain, TheLeftRightCheckRemovesWhatTheRightViewContradicts) {
    cv::Mat left(1, 12, CV_32F, cv::Scalar(4.0f));
    cv::Mat right(1, 12, CV_32F, cv::Scalar(4.2f));
    right.at<float>(0, 5) = 7.0f;  // read by x = 9
    right.at<float>(0, 6) = NaN;   // read by x = 10
    PostChain chain(CLASSICAL);
    only(chain, {{"post_lr_check", 1}});
    const auto out = chain.process({.map = left, .right_view = right});
    for (int x = 0; x < 12; ++x) {
        SCOPED_TRACE(x);
        const bool removed = x < 4 || x == 9;  // outside the right view, or contradicted
        EXPECT_EQ(std::isnan(out.map.at<float>(0, x)), removed);
    }
    // Unconfirmed (no right value) ranks below confirmed, above nothing.
    EXPECT_LT(out.confidence.at<std::uint8_t>(0, 10), out.confidence.at<std::uint8_t>(0, 7));
    EXPECT_GT(out.confidence.at<std::uint8_t>(0, 10), 0);
}

TEST(PostChain, ConfidenceIsHighOnASmoothSurfaceAndLowAtNoiseHolesAndFills) {
    cv::Mat map(40, 60, CV_32F);
    std::mt19937 rng(5);
    std::normal_distribution<float> noise(0.0f, 3.0f);
    for (int y = 0; y < map.rows; ++y) {
        for (int x = 0; x < map.cols; ++x) {
            map.at<float>(y, x) = 20.0f + 0.02f * x + (x >= 40 ? noise(rng) : 0.0f);
        }
    }
    map(cv::Rect(15, 15, 4, 4)).setTo(NaN);
    PostChain chain(CLASSICAL);
    only(chain, {{"post_fill", 1}});
    const auto out = chain.process({.map = map});
    const auto c = [&](int x, int y) { return int{out.confidence.at<std::uint8_t>(y, x)}; };
    EXPECT_GT(c(5, 30), 200);                        // smooth, far from any hole
    EXPECT_LT(c(50, 30), c(5, 30) / 2);              // noisy
    EXPECT_LT(c(14, 16), c(5, 30));                  // beside a hole
    EXPECT_EQ(c(16, 16), kelvo::FILLED_CONFIDENCE);  // filled
    EXPECT_EQ(holes(out.map), 0);
}

/// A static surface seen through noise, frame after frame.
cv::Mat noisy_frame(std::mt19937& rng) {
    std::normal_distribution<float> noise(0.0f, 0.4f);
    cv::Mat map(30, 40, CV_32F);
    for (int y = 0; y < map.rows; ++y)
        for (int x = 0; x < map.cols; ++x) map.at<float>(y, x) = 30.0f + noise(rng);
    return map;
}

double frame_to_frame_noise(const std::vector<cv::Mat>& maps) {
    double sum = 0;
    for (std::size_t i = 1; i < maps.size(); ++i)
        sum += cv::norm(maps[i], maps[i - 1], cv::NORM_L2);
    return sum / static_cast<double>(maps.size() - 1);
}

TEST(PostChainTemporal, HalvesTheNoiseOfAStaticSceneAndKeepsHolesForAWhile) {
    std::mt19937 rng(11);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < 30; ++i) frames.push_back(noisy_frame(rng));
    std::vector<cv::Mat> raw, smoothed;
    PostChain off(CLASSICAL), on(CLASSICAL);
    only(off, {});
    only(on, {{"post_temporal", 1}});
    for (int i = 0; i < 30; ++i) {
        raw.push_back(off.process({.map = frames[i], .frame_index = i}).map);
        smoothed.push_back(on.process({.map = frames[i], .frame_index = i}).map);
    }
    EXPECT_LT(frame_to_frame_noise(smoothed), 0.5 * frame_to_frame_noise(raw));

    // A pixel that loses its value keeps the last one for two frames, with
    // less trust each time, then is a hole.
    std::vector<std::uint8_t> trust;
    for (int i = 30; i < 34; ++i) {
        cv::Mat map = noisy_frame(rng);
        map.at<float>(3, 3) = NaN;
        const auto out = on.process({.map = map, .frame_index = i});
        trust.push_back(out.confidence.at<std::uint8_t>(3, 3));
        EXPECT_EQ(std::isnan(out.map.at<float>(3, 3)), i >= 32) << i;
    }
    EXPECT_GT(trust[0], trust[1]);
    EXPECT_EQ(trust[2], 0);
}

// After any jump the map is the one a fresh chain gives for that frame.
TEST(PostChainTemporal, AnyJumpStartsAfresh) {
    const struct {
        const char* name;
        std::int64_t next_index;
        std::uint64_t next_scene;
        bool change_setting;
        bool fresh;
    } cases[] = {
        {"the next frame", 5, 1, false, false},      {"a seek forward", 9, 1, false, true},
        {"a step back", 3, 1, false, true},          {"a loop to the start", 0, 1, false, true},
        {"the same frame again", 4, 1, false, true}, {"a new calibration", 5, 2, false, true},
        {"a setting changed", 5, 1, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(3);
        PostChain chain(CLASSICAL);
        only(chain, {{"post_temporal", 1}});
        for (int i = 0; i <= 4; ++i)
            chain.process({.map = noisy_frame(rng), .frame_index = i, .scene = 1});
        if (c.change_setting) chain.set_control("post_temporal_alpha_pct", 50);
        const cv::Mat next = noisy_frame(rng);
        const auto out =
            chain.process({.map = next, .frame_index = c.next_index, .scene = c.next_scene});
        PostChain fresh(CLASSICAL);
        only(fresh, {{"post_temporal", 1}});
        if (c.change_setting) fresh.set_control("post_temporal_alpha_pct", 50);
        const auto first = fresh.process({.map = next, .frame_index = c.next_index});
        EXPECT_EQ(cv::norm(out.map, first.map, cv::NORM_INF) == 0.0, c.fresh);
    }
}

}  // namespace post_chain_test

namespace post_chain_test {

// Not asked for, no confidence is made, and the map is the same.
TEST(PostChain, AConfidenceNotAskedForIsNotMade) {
    cv::Mat map(20, 30, CV_32F, cv::Scalar(12.0f));
    map(cv::Rect(10, 5, 4, 4)).setTo(NaN);
    PostChain chain(CLASSICAL);
    only(chain, {{"post_fill", 1}});
    const auto asked = chain.process({.map = map});
    const auto not_asked = chain.process({.map = map, .want_confidence = false});
    EXPECT_TRUE(not_asked.confidence.empty());
    EXPECT_EQ(asked.confidence.size(), map.size());
    EXPECT_EQ(cv::norm(asked.map, not_asked.map, cv::NORM_INF), 0.0);
}

}  // namespace post_chain_test
