// CREStereo initial-stage stereo (iter2 init export): the single-pass
// counterpart of the combined export, sharper edges than LightStereo.
#pragma once

#include <array>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/inference/blob.hpp"
#include "kelvo/inference/inferences/neural_common.hpp"

namespace kelvo {

namespace detail {

/// The 15 single-pass exports; n = 10 has 240x320 where the others have 160x240.
inline constexpr std::array<CREStereoKey, 15> CRESTEREO_INITIAL_VARIANTS{{
    {2, {160, 240}},
    {2, {180, 320}},
    {2, {360, 640}},
    {2, {480, 640}},
    {2, {720, 1280}},
    {5, {160, 240}},
    {5, {180, 320}},
    {5, {360, 640}},
    {5, {480, 640}},
    {5, {720, 1280}},
    {10, {180, 320}},
    {10, {240, 320}},
    {10, {360, 640}},
    {10, {480, 640}},
    {10, {720, 1280}},
}};

/// The one variant offered in the guided selection.
inline constexpr CREStereoKey CRESTEREO_INITIAL_WIZARD_KEY{2, {160, 240}};

/// Selection metadata of the single-pass export with `n` iterations at h x w.
KELVO_API Json _crestereo_initial_meta(int n, int h, int w);

}  // namespace detail

/// High-accuracy stereo (CREStereo iter2 init export).
///
/// Inputs: left, right canvas as raw RGB pixel values. Output (1, 2, H, W):
/// flow from left to right, channel 0 the positive disparity.
class KELVO_API CREStereoInitialInference : public NeuralStereoInferenceBase {
  public:
    static constexpr const char* LABEL = "CREStereo Initial";
    static constexpr const char* ARCHITECTURE_FAMILY = "CREStereo";

    static std::vector<InferenceVariant> variants();

    /// (left blob, right blob).
    std::vector<cv::Mat> preprocess(const cv::Mat& canvas_l, const cv::Mat* canvas_r) override;
    /// Channel 0 of a (1, 2, H, W) output, cropped to the valid region.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

  protected:
    void _init_extra_state() override;
    std::string class_label() const override { return LABEL; }

    detail::Image2BlobParams _blob_params;  ///< read-only after _init_extra_state
};

}  // namespace kelvo
