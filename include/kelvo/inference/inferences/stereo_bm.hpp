// StereoBMInference: OpenCV's block matcher on the CPU, the cheapest stereo
// back-end ("stereo-bm"). Winner-take-all cost over a fixed block with an
// optional pre-filter and post-filters (texture, uniqueness, speckle,
// left-right check); without a smoothness term, flat untextured regions and
// depth edges are noisier than with semi-global matching. Meant for small CPU
// budgets and as a baseline for tuning. Every matcher parameter is a runtime
// control.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvo/inference/base.hpp"

namespace kelvo {

namespace detail {
/// Values of the pre-filter control, as (value, name) pairs.
inline constexpr std::array<std::pair<double, std::string_view>, 2> BM_PRE_FILTER_TYPES = {{
    {static_cast<double>(cv::StereoBM::PREFILTER_NORMALIZED_RESPONSE), "NORMALIZED_RESPONSE"},
    {static_cast<double>(cv::StereoBM::PREFILTER_XSOBEL), "XSOBEL"},
}};
}  // namespace detail

class KELVO_API StereoBMInference final : public ClassicStereoInferenceBase {
  public:
    static constexpr const char* LABEL = "StereoBM (classical, CPU, fastest)";
    static constexpr bool NEURAL = false;

    /// The runtime controls, in declaration order.
    static std::vector<IntControl> CONTROLS();
    /// "256x512", "360x640", "480x720", built afresh on each call.
    static std::vector<InferenceVariant> variants();
    /// For a variant's inference_kwargs {"canvas_size": [h, w]}.
    explicit StereoBMInference(const InferenceVariant& variant);
    /// Stores the canvas size and builds the matcher from the default controls.
    explicit StereoBMInference(HeightWidth canvas_size);

    /// "StereoBM (<height>x<width>)".
    std::string label() const override;

    /// Crops to the valid region. When the canvas is too narrow for the
    /// disparity search (min_disparity + num_disparities near its width),
    /// OpenCV's matcher leaves its output unwritten; no pixel can then hold a
    /// valid disparity, and the whole map is NaN.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

    /// The matcher in use (tests read its parameters).
    cv::Ptr<cv::StereoBM> matcher() const { return _matcher.dynamicCast<cv::StereoBM>(); }

    /// Builds a new matcher from the current control values and replaces
    /// `_matcher` only once every setter succeeded.
    void _rebuild_matcher() override;
};

}  // namespace kelvo
