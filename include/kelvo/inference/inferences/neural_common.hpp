// Helpers shared by the neural back-ends: the RGB input-blob parameters,
// array shapes written the way the error messages show them, squeezing a
// network output to a 2-D map, the (1, 2, H, W) flow output and the variants
// of the CREStereo exports.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/inference/blob.hpp"
#include "kelvo/json.hpp"

namespace kelvo::detail {

/// ImageNet mean (x 255) and 1 / (std x 255) in R, G, B order; the fourth
/// value only fills the scalar.
inline const cv::Scalar IMAGENET_BLOB_MEAN(123.675, 116.28, 103.53, 0.0);
inline const cv::Scalar IMAGENET_BLOB_SCALE(1.0 / 58.395, 1.0 / 57.12, 1.0 / 57.375, 0.0);
/// No normalisation: the network takes raw values in [0, 255].
inline const cv::Scalar RAW_BLOB_MEAN(0.0, 0.0, 0.0, 0.0);
inline const cv::Scalar RAW_BLOB_SCALE(1.0, 1.0, 1.0, 0.0);

/// Blob parameters of a network that takes the canvas at its own size, in
/// R, G, B order, as float32: (value - mean) * scale per channel.
KELVO_API Image2BlobParams rgb_blob_params(const cv::Scalar& scale, const cv::Scalar& mean);

/// A shape written as a tuple: "(1, 2, 256, 512)", "(512,)", "()".
KELVO_API std::string shape_repr(const std::vector<std::int64_t>& shape);

/// Squeezes `raw` to a single-channel 2-D Mat sharing its data (or a
/// continuous copy when `raw` is not continuous). Sets `shape_before` and
/// `shape_after`; absent when the squeezed shape is not 2-D, so each back-end
/// raises its own message.
KELVO_API std::optional<cv::Mat> squeeze_to_2d(const cv::Mat& raw,
                                               std::vector<std::int64_t>& shape_before,
                                               std::vector<std::int64_t>& shape_after);

/// Squeeze-and-crop: the 2-D map of `raw` as float32, cropped to the valid
/// region, contiguous. RuntimeError "model output shape ... does not yield a
/// 2D map after squeeze (got ...)" when the output is not a map.
KELVO_API cv::Mat squeeze_and_crop(const cv::Mat& raw, const CanvasLayout& layout);

/// Channel 0 of batch 0 of a (1, 2, H, W) flow output, float32, cropped to the
/// valid region, contiguous. No axis is squeezed: anything else raises
/// RuntimeError `message_prefix` + the shape.
KELVO_API cv::Mat flow_x_crop(const cv::Mat& raw, const CanvasLayout& layout,
                              const std::string& message_prefix);

/// One exported network of a CREStereo family: iteration count and input size.
struct CREStereoKey {
    int n = 0;
    HeightWidth size;
    constexpr bool operator==(const CREStereoKey&) const = default;
};

/// Licence page of the CREStereo networks (both exports).
inline constexpr std::string_view CRESTEREO_LICENSE_URL =
    "https://github.com/megvii-research/CREStereo/blob/master/LICENSE";

/// The variant of `key`: one model file "<file_prefix>_iter<n>_<h>x<w>" (also
/// the archive member, with ".onnx"), configurations "iter", "input_size",
/// "selector_meta".
KELVO_API InferenceVariant make_crestereo_variant(const CREStereoKey& key,
                                                  const std::string& file_prefix, Json meta);

/// The variants of a CREStereo family, one per key in order; `meta` gives
/// each its selector metadata from (iterations, height, width).
KELVO_API std::vector<InferenceVariant> crestereo_variants(
    std::span<const CREStereoKey> keys, const std::string& file_prefix,
    const std::function<Json(int n, int height, int width)>& meta);

}  // namespace kelvo::detail
