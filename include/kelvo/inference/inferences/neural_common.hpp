// Helpers shared by the neural back-ends: array shapes written the way the
// error messages show them, squeezing a network output to a 2-D map, the
// (1, 2, H, W) flow output and variant naming of the CREStereo exports, and
// placing a network's external weights beside it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/json.hpp"

namespace kelvo::detail {

/// The shape of an array as its dimension lengths; a multi-channel 2-D Mat
/// counts its channels as a last axis.
KELVO_API std::vector<std::int64_t> mat_shape(const cv::Mat& array);

/// A shape written as a tuple: "(1, 2, 256, 512)", "(512,)", "()".
KELVO_API std::string shape_repr(const std::vector<std::int64_t>& shape);

/// The shape without its axes of length 1.
KELVO_API std::vector<std::int64_t> squeeze_shape(const std::vector<std::int64_t>& shape);

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

/// The network file of `variant` (its first model file) with every further
/// file of the variant (external weights) beside it, where the runtime looks
/// for them. A further file already beside the network is used as it is;
/// otherwise it is resolved by the model-file lookup and linked (or copied)
/// beside the network. Raises RuntimeError naming the paths when a file is
/// missing or cannot be placed.
KELVO_API std::filesystem::path resolve_network_with_companions(const InferenceVariant& variant);

/// Creates the engine of a variant whose model files
/// `resolve_network_with_companions` places, with the class's input size and
/// output name when it pins them.
KELVO_API std::shared_ptr<InferenceEngine> create_engine_for(
    const InferenceVariant& variant, const InferenceCreateOptions& options,
    const std::optional<HeightWidth>& input_size, const std::optional<std::string>& output_name);

/// One exported network of a CREStereo family: iteration count and input size.
struct CREStereoKey {
    int n = 0;
    HeightWidth size;
    constexpr bool operator==(const CREStereoKey&) const = default;
};

/// Licence page of the CREStereo networks (both exports).
inline constexpr std::string_view CRESTEREO_LICENSE_URL =
    "https://github.com/megvii-research/CREStereo/blob/master/LICENSE";

/// "iter<n>-<h>x<w>", the variant slug of both CREStereo families.
KELVO_API std::string crestereo_variant_slug(const CREStereoKey& key);
/// "iter <n> / <h>×<w>", the variant label of both CREStereo families.
KELVO_API std::string crestereo_variant_label(const CREStereoKey& key);
/// The variant of `key`: one model file "<file_prefix>_iter<n>_<h>x<w>" (also
/// the archive member, with ".onnx"), configurations "iter", "input_size",
/// "selector_meta".
KELVO_API InferenceVariant make_crestereo_variant(const CREStereoKey& key,
                                                  const std::string& file_prefix, Json meta);

}  // namespace kelvo::detail
