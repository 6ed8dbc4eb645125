// Depth Anything v2 Small (DPT-S): monocular relative depth that the user
// turns into usable values with the depth scale and offset controls.
#pragma once

#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/inference/blob.hpp"

namespace kelvo {

/// Monocular relative depth, ImageNet-normalised input. The model comes as two
/// files, the graph and its external weights, which must lie side by side.
class KELVO_API DepthAnythingV2SmallInference : public NeuralMonoInferenceBase {
  public:
    static constexpr const char* LABEL = "Depth Anything V2 Small";

    static std::vector<InferenceVariant> variants();

    /// One ImageNet-normalised blob of the left canvas; `canvas_r` is ignored.
    std::vector<cv::Mat> preprocess(const cv::Mat& canvas_l, const cv::Mat* canvas_r) override;
    /// Relative depth of the valid region, float32, after the depth adjustment.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

  protected:
    void _init_extra_state() override;
    std::string class_label() const override { return LABEL; }

    detail::Image2BlobParams _blob_params;  ///< read-only after _init_extra_state
};

}  // namespace kelvo
