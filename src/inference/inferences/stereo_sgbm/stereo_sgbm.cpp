// The "stereo-sgbm" back-end: variants, controls and the matcher.
#include "kelvo/inference/inferences/stereo_sgbm.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "kelvo/inference/registry.hpp"

namespace kelvo {
namespace {

// Selection metadata of the three variants; only the speed tier, the
// guided-selection flag and the summary differ.
Json selector_meta(int speed_tier, bool wizard, const std::string& summary) {
    return detail::classical_selector_meta(
        {.speed_tier = speed_tier,
         .accuracy_tier = 2,
         .accuracy_metric = "Dense classical matching (smoothness along several paths)",
         .summary = summary,
         .tags = Json::array({"classical", "cpu", "no-download", "dense", "weight:light"}),
         .wizard_visible = wizard});
}

}  // namespace

std::vector<IntControl> StereoSGBMInference::CONTROLS() {
    std::vector<std::pair<double, std::string>> modes;
    for (const auto& [value, name] : detail::SGBM_MODES)
        modes.emplace_back(value, std::string(name));
    return {
        IntControl::number("min_disparity", 0, "Min disparity", -128, 128, 1, "px"),
        IntControl::number("num_disparities", 96, "Num disparities", 16, 512, 16, "px"),
        // Measured with the chain on real and synthetic pairs: 3 px blocks
        // along 8 paths leave the fewest pixels wrong or empty (3-way runs
        // about 2.5 times faster for a little more).
        IntControl::number("block_size", 3, "Block size", 1, 51, 2, "px"),
        IntControl::number("p1", 0, "Smoothness P1 (0 = 8 x block area)", 0, 20000, 1),
        IntControl::number("p2", 0, "Smoothness P2 (0 = 32 x block area; above P1)", 0, 80000, 1),
        IntControl::number("pre_filter_cap", 63, "Pre-filter cap", 1, 63, 1),
        IntControl::number("uniqueness_ratio", 10, "Uniqueness ratio", 0, 50, 1, "%"),
        IntControl::number("speckle_window_size", 100, "Speckle window size", 0, 400, 1, "px"),
        IntControl::number("speckle_range", 2, "Speckle range", 0, 32, 1, "px"),
        IntControl::number("disp12_max_diff", 1, "Left-right tolerance (-1 = off)", -1, 32, 1,
                           "px"),
        IntControl::enumeration("mode", cv::StereoSGBM::MODE_HH, "Mode", std::move(modes)),
    };
}

std::vector<InferenceVariant> StereoSGBMInference::variants() {
    return detail::canvas_size_variants({
        selector_meta(4, /*wizard=*/true,
                      "Dense classical stereo. CPU-only, no download; fills what block matching "
                      "leaves empty."),
        selector_meta(3, /*wizard=*/false, "Semi-global matching at higher resolution."),
        selector_meta(2, /*wizard=*/false,
                      "Semi-global matching at the highest supported resolution."),
    });
}

StereoSGBMInference::StereoSGBMInference(const InferenceVariant& variant)
    : StereoSGBMInference(detail::canvas_size_kwarg(variant, "stereo-sgbm")) {}

StereoSGBMInference::StereoSGBMInference(HeightWidth canvas_size)
    : ClassicStereoInferenceBase(canvas_size) {
    _controls.add(CONTROLS());
    _rebuild_matcher();
}

std::string StereoSGBMInference::label() const {
    return fmt::format("StereoSGBM ({}x{})", _canvas_h, _canvas_w);
}

std::pair<int, int> StereoSGBMInference::penalties() const {
    // The matcher sees grey canvases: one channel.
    const int area = control("block_size") * control("block_size");
    const int p1 = control("p1") > 0 ? control("p1") : 8 * area;
    const int p2 = control("p2") > 0 ? control("p2") : 32 * area;
    return {p1, std::max(p2, p1 + 1)};  // the matcher's own rule: P2 above P1
}

void StereoSGBMInference::_rebuild_matcher() {
    const auto [p1, p2] = penalties();
    cv::Ptr<cv::StereoSGBM> matcher = cv::StereoSGBM::create(
        control("min_disparity"), control("num_disparities"), control("block_size"), p1, p2,
        control("disp12_max_diff"), control("pre_filter_cap"), control("uniqueness_ratio"),
        control("speckle_window_size"), control("speckle_range"), control("mode"));
    _matcher = matcher;
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::StereoSGBMInference, "stereo-sgbm")
