// RectifyPassthroughInference ("rectify-passthrough"): an inference-shaped
// no-op. The pipeline recognises it by its registry key and runs only
// calibration, rectification and canvas fitting, emitting rectified eyes and
// no disparity or depth. Its `submit` and `postprocess` exist to satisfy the
// back-end interface and fail loudly if that routing is ever wrong.
#pragma once

#include <string>
#include <vector>

#include "kelvo/inference/base.hpp"
#include "kelvo/json.hpp"

namespace kelvo {

class KELVO_API RectifyPassthroughInference final : public DepthInferenceBase {
  public:
    static constexpr const char* LABEL = "Rectify passthrough (no inference)";
    static constexpr bool NEURAL = false;

    /// "256x512", "360x640", "480x720", built afresh on each call.
    static std::vector<InferenceVariant> variants();

    /// `canvas_size` is a (height, width) sequence of positive numbers;
    /// anything else raises std::invalid_argument.
    explicit RectifyPassthroughInference(const Json& canvas_size);
    explicit RectifyPassthroughInference(HeightWidth canvas_size);
    /// For a variant's inference_kwargs {"canvas_size": [h, w]}.
    explicit RectifyPassthroughInference(const InferenceVariant& variant);

    HeightWidth input_size() const override { return {_canvas_h, _canvas_w}; }
    /// "rectify-passthrough (<height>x<width>)".
    std::string label() const override;
    bool is_passthrough() const override { return true; }
    /// Always raises RuntimeError: the pipeline must take the bypass path.
    InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) override;
    /// Always raises RuntimeError.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

  private:
    int _canvas_h = 0;
    int _canvas_w = 0;
};

}  // namespace kelvo
