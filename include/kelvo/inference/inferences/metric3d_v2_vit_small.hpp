// Metric3D v2 (ViT-S/14): monocular metric depth that knows the camera's
// focal length.
#pragma once

#include <atomic>
#include <limits>
#include <optional>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/inference/blob.hpp"

namespace kelvo {

/// Monocular metric depth with focal-length awareness (Metric3D V2, ViT-S/14).
///
/// The network predicts depth for a canonical camera of 1000 px focal length;
/// `postprocess` rescales it to the focal length given by `set_intrinsics`
/// (depth_real = depth_canonical * f_real / 1000), crops it to the valid
/// region and passes it through the base's depth adjustment.
class KELVO_API Metric3DV2VitSmallInference : public NeuralMonoInferenceBase {
  public:
    static constexpr const char* LABEL = "Metric3D V2 (ViT-Small)";
    static constexpr HeightWidth INPUT_SIZE{504, 504};
    static constexpr const char* OUTPUT_NAME = "predicted_depth";

    static std::vector<InferenceVariant> variants();

    /// Stores the geometric mean of the focal lengths (pixels); the principal
    /// point is not used. Any thread; takes effect from the next postprocess.
    void set_intrinsics(double fx, double fy, double cx, double cy) override;

    /// One blob of the left canvas (raw RGB values); `canvas_r` is ignored.
    std::vector<cv::Mat> preprocess(const cv::Mat& canvas_l, const cv::Mat* canvas_r) override;
    /// Metric depth of the valid region, float32, after the depth adjustment.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

    /// The real camera's focal length in pixels, once `set_intrinsics` ran.
    std::optional<double> actual_focal_px() const;

  protected:
    void _init_extra_state() override;
    std::optional<HeightWidth> class_input_size() const override { return INPUT_SIZE; }
    std::optional<std::string> class_output_name() const override { return OUTPUT_NAME; }
    std::string class_label() const override { return LABEL; }

    // Made by _init_extra_state; read-only afterwards.
    double _canonical_focal_px = 1000.0;
    detail::Image2BlobParams _blob_params;
    // Written by set_intrinsics from any thread; NaN while absent.
    std::atomic<double> _actual_focal_px{std::numeric_limits<double>::quiet_NaN()};
};

}  // namespace kelvo
