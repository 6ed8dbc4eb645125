// StereoSGBMInference: OpenCV's semi-global matcher on the CPU ("stereo-sgbm").
// A smoothness term along several paths (P1 for a one-pixel step of
// disparity, P2 for larger ones) fills flat, untextured regions that block
// matching leaves empty, and keeps depth edges sharper. Sub-pixel disparity;
// the matcher's own left-right check (`disp12_max_diff`); the post-processing
// chain's check against a right-view matcher comes from the base. Every
// parameter is a runtime control.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvo/inference/base.hpp"

namespace kelvo {

namespace detail {
/// Values of the mode control, as (value, name) pairs.
inline constexpr std::array<std::pair<double, std::string_view>, 3> SGBM_MODES = {{
    {static_cast<double>(cv::StereoSGBM::MODE_SGBM), "5-path"},
    {static_cast<double>(cv::StereoSGBM::MODE_HH), "8-path"},
    {static_cast<double>(cv::StereoSGBM::MODE_SGBM_3WAY), "3-way"},
}};
}  // namespace detail

class KELVO_API StereoSGBMInference final : public ClassicStereoInferenceBase {
  public:
    static constexpr const char* LABEL = "StereoSGBM (classical, CPU, dense)";
    static constexpr bool NEURAL = false;

    /// The runtime controls, in declaration order.
    static std::vector<IntControl> CONTROLS();
    /// "256x512", "360x640", "480x720", built afresh on each call.
    static std::vector<InferenceVariant> variants();
    /// For a variant's inference_kwargs {"canvas_size": [h, w]}.
    explicit StereoSGBMInference(const InferenceVariant& variant);
    /// Stores the canvas size and builds the matcher from the default controls.
    explicit StereoSGBMInference(HeightWidth canvas_size);

    /// "StereoSGBM (<height>x<width>)".
    std::string label() const override;

    /// The matcher in use (tests read its parameters).
    cv::Ptr<cv::StereoSGBM> matcher() const { return _matcher.dynamicCast<cv::StereoSGBM>(); }
    /// The smoothness penalties the matcher uses: the controls, or for 0 the
    /// usual 8 and 32 times the block area.
    std::pair<int, int> penalties() const;

    void _rebuild_matcher() override;
};

}  // namespace kelvo
