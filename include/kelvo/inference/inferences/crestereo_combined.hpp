// CREStereo combined-stage stereo (init + next, single graph): the export that
// runs a half-resolution initial pass and a full-resolution refinement pass.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/inference/blob.hpp"
#include "kelvo/inference/inferences/neural_common.hpp"

namespace kelvo {

namespace detail {

/// The 20 exports, iteration count outer, input size inner.
inline constexpr std::array<CREStereoKey, 20> CRESTEREO_COMBINED_VARIANTS{{
    {2, {240, 320}},  {2, {320, 480}},  {2, {360, 640}},  {2, {480, 640}},  {2, {720, 1280}},
    {5, {240, 320}},  {5, {320, 480}},  {5, {360, 640}},  {5, {480, 640}},  {5, {720, 1280}},
    {10, {240, 320}}, {10, {320, 480}}, {10, {360, 640}}, {10, {480, 640}}, {10, {720, 1280}},
    {20, {240, 320}}, {20, {320, 480}}, {20, {360, 640}}, {20, {480, 640}}, {20, {720, 1280}},
}};

/// The variants offered in the guided selection.
inline constexpr std::array<CREStereoKey, 5> CRESTEREO_COMBINED_WIZARD_KEYS{{
    {2, {240, 320}},
    {5, {240, 320}},
    {5, {360, 640}},
    {10, {480, 640}},
    {20, {720, 1280}},
}};

/// Selection metadata of the combined export with `n` iterations at h x w.
KELVO_API Json _crestereo_combined_meta(int n, int h, int w);

}  // namespace detail

/// CREStereo combined-stage stereo (init + next, single graph).
///
/// Inputs, in order: initial left, initial right (half size), refinement left,
/// refinement right (canvas size); raw RGB pixel values, no normalisation.
/// Output (1, 2, H, W): flow from left to right, channel 0 the disparity.
/// The canvas has the refinement inputs' size.
class KELVO_API CREStereoCombinedInference : public NeuralStereoInferenceBase {
  public:
    static constexpr const char* LABEL = "CREStereo Combined";
    static constexpr const char* ARCHITECTURE_FAMILY = "CREStereo";

    static std::vector<InferenceVariant> variants();

    /// Four blobs: (initial left, initial right, refinement left, refinement
    /// right). Not reentrant: it remakes the half-size parameters when the
    /// canvas size changes.
    std::vector<cv::Mat> preprocess(const cv::Mat& canvas_l, const cv::Mat* canvas_r) override;
    /// Channel 0 of a (1, 2, H, W) output, cropped to the valid region.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

    /// How many times the half-size parameters were made (diagnostics).
    std::uint64_t half_params_builds() const { return _half_params_builds; }

  protected:
    void _init_extra_state() override;
    std::string class_label() const override { return LABEL; }

    // Made by _init_extra_state; the half-size pair on the first frame and
    // again whenever the canvas size changes. Preprocess thread only.
    detail::Image2BlobParams _params_full;
    std::optional<detail::Image2BlobParams> _params_half;
    std::optional<HeightWidth> _half_canvas;
    std::uint64_t _half_params_builds = 0;
};

}  // namespace kelvo
