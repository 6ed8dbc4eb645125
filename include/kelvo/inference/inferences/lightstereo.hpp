// LightStereo: fast neural disparity stereo ("Fast neural stereo, runs even on
// your CPU."), ImageNet-normalised preprocessing, squeeze-and-crop
// postprocessing. Its exported networks fix the input size inside the graph,
// so the class pins no INPUT_SIZE.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/inference/blob.hpp"

namespace kelvo {

namespace detail {
/// Licence page of the LightStereo networks (all three variants).
inline constexpr const char* LIGHTSTEREO_LICENSE_URL =
    "https://github.com/XiandaGuo/OpenStereo/blob/HEAD/LICENSE";
}  // namespace detail

/// Registered as "lightstereo". `preprocess` and `postprocess` are pure
/// functions of their arguments and may run on different threads.
class KELVO_API LightStereoInference : public NeuralStereoInferenceBase {
  public:
    static constexpr const char* LABEL = "LightStereo";

    /// The three variants, built afresh on every call.
    static std::vector<InferenceVariant> variants();

    /// (left blob, right blob): float32 (1, 3, H, W) NCHW, RGB, ImageNet
    /// normalised; the canvases are neither resized nor cropped.
    std::vector<cv::Mat> preprocess(const cv::Mat& canvas_l, const cv::Mat* canvas_r) override;
    /// The output squeezed to a 2-D map, float32, cropped to the valid region
    /// (clipped to the map), contiguous; disparity in canvas pixels.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

    const detail::Image2BlobParams& blob_params() const { return _blob_params; }

  protected:
    void _init_extra_state() override;
    std::string class_label() const override { return LABEL; }

  private:
    detail::Image2BlobParams _blob_params;  ///< read-only after _init_extra_state
};

}  // namespace kelvo
