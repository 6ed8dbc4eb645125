// The "stereo-bm" back-end: variants, controls and the matcher factory.
#include "kelvo/inference/inferences/stereo_bm.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "kelvo/inference/registry.hpp"

namespace kelvo {
namespace {

// Selection metadata of the three variants; only the speed tier, the
// guided-selection flag and the summary differ.
Json selector_meta(int speed_tier, bool wizard, const std::string& summary) {
    return detail::classical_selector_meta(
        {.speed_tier = speed_tier,
         .accuracy_tier = 1,
         .accuracy_metric = "Lowest in catalog (no smoothness term)",
         .summary = summary,
         .tags = Json::array({"classical", "cpu", "no-download", "low-latency", "weight:light"}),
         .wizard_visible = wizard});
}

}  // namespace

std::vector<IntControl> StereoBMInference::CONTROLS() {
    std::vector<std::pair<double, std::string>> pre_filter_types;
    for (const auto& [value, name] : detail::BM_PRE_FILTER_TYPES) {
        pre_filter_types.emplace_back(value, std::string(name));
    }
    return {
        IntControl::number("min_disparity", 0, "Min disparity", -128, 128, 1, "px"),
        IntControl::number("num_disparities", 96, "Num disparities", 16, 512, 16, "px"),
        IntControl::number("block_size", 9, "Block size", 5, 51, 2, "px"),
        IntControl::enumeration("pre_filter_type", cv::StereoBM::PREFILTER_XSOBEL,
                                "Pre-filter type", std::move(pre_filter_types)),
        IntControl::number("pre_filter_size", 9, "Pre-filter size", 5, 51, 2, "px"),
        IntControl::number("pre_filter_cap", 31, "Pre-filter cap", 1, 63, 1),
        IntControl::number("texture_threshold", 10, "Texture threshold", 0, 2000, 1),
        IntControl::number("uniqueness_ratio", 15, "Uniqueness ratio", 0, 50, 1, "%"),
        IntControl::number("speckle_window_size", 100, "Speckle window size", 0, 400, 1),
        IntControl::number("speckle_range", 2, "Speckle range", 0, 32, 1),
        IntControl::number("disp12_max_diff", -1, "Disp12 max diff (-1 = off)", -1, 32, 1),
    };
}

std::vector<InferenceVariant> StereoBMInference::variants() {
    return detail::canvas_size_variants({
        selector_meta(5, /*wizard=*/true,
                      "Fastest classical stereo. CPU-only, lowest quality but no download."),
        selector_meta(4, /*wizard=*/false, "Classical block matching at higher resolution."),
        selector_meta(3, /*wizard=*/false,
                      "Classical block matching at the highest supported resolution."),
    });
}

StereoBMInference::StereoBMInference(const InferenceVariant& variant)
    : StereoBMInference(detail::canvas_size_kwarg(variant, "stereo-bm")) {}

StereoBMInference::StereoBMInference(HeightWidth canvas_size)
    : ClassicStereoInferenceBase(canvas_size) {
    _controls.add(CONTROLS());
    _rebuild_matcher();
}

std::string StereoBMInference::label() const {
    return fmt::format("StereoBM ({}x{})", _canvas_h, _canvas_w);
}

cv::Mat StereoBMInference::postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) {
    // `_matcher` is the one that computed `raw_output` (compute() rebuilds it
    // only before matching). OpenCV matches over `searchable` columns and
    // writes nothing at all when they are fewer than one block.
    const int num = _matcher->getNumDisparities();
    const int min = _matcher->getMinDisparity();
    const int searchable = raw_output.cols + std::min(num - 1 + min, 0) - num + 1;
    if (searchable <= _matcher->getBlockSize()) {
        cv::Mat invalid = crop_to_valid(raw_output, layout);
        invalid.setTo(std::numeric_limits<float>::quiet_NaN());
        return invalid;
    }
    return ClassicStereoInferenceBase::postprocess(raw_output, layout);
}

void StereoBMInference::_rebuild_matcher() {
    cv::Ptr<cv::StereoBM> matcher =
        cv::StereoBM::create(control("num_disparities"), control("block_size"));
    matcher->setMinDisparity(control("min_disparity"));
    matcher->setPreFilterType(control("pre_filter_type"));
    matcher->setPreFilterSize(control("pre_filter_size"));
    matcher->setPreFilterCap(control("pre_filter_cap"));
    matcher->setTextureThreshold(control("texture_threshold"));
    matcher->setUniquenessRatio(control("uniqueness_ratio"));
    matcher->setSpeckleWindowSize(control("speckle_window_size"));
    matcher->setSpeckleRange(control("speckle_range"));
    matcher->setDisp12MaxDiff(control("disp12_max_diff"));
    _matcher = matcher;
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::StereoBMInference, "stereo-bm")
