// Helpers of the neural back-ends: input blobs, output shapes, CREStereo
// variants.
#include "kelvo/inference/inferences/neural_common.hpp"

#include <fmt/format.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/base.hpp"

namespace kelvo::detail {

namespace {

/// The shape of an array as its dimension lengths; a multi-channel 2-D Mat
/// counts its channels as a last axis.
std::vector<std::int64_t> mat_shape(const cv::Mat& array) {
    std::vector<std::int64_t> shape;
    if (array.empty() && array.dims == 0) return shape;
    shape.reserve(static_cast<std::size_t>(array.dims) + 1);
    for (int i = 0; i < array.dims; ++i) shape.push_back(array.size[i]);
    if (array.channels() > 1) shape.push_back(array.channels());
    return shape;
}

/// The shape without its axes of length 1.
std::vector<std::int64_t> squeeze_shape(const std::vector<std::int64_t>& shape) {
    std::vector<std::int64_t> out;
    for (auto d : shape) {
        if (d != 1) out.push_back(d);
    }
    return out;
}

/// "iter<n>-<h>x<w>", the variant slug of both CREStereo families.
std::string crestereo_variant_slug(const CREStereoKey& key) {
    return fmt::format("iter{}-{}x{}", key.n, key.size.height, key.size.width);
}

/// "iter <n> / <h>×<w>", the variant label of both CREStereo families.
std::string crestereo_variant_label(const CREStereoKey& key) {
    return fmt::format("iter {} / {}\u00d7{}", key.n, key.size.height, key.size.width);
}

}  // namespace

std::string shape_repr(const std::vector<std::int64_t>& shape) {
    if (shape.size() == 1) return fmt::format("({},)", shape.front());
    return fmt::format("({})", fmt::join(shape, ", "));
}

std::optional<cv::Mat> squeeze_to_2d(const cv::Mat& raw, std::vector<std::int64_t>& shape_before,
                                     std::vector<std::int64_t>& shape_after) {
    shape_before = mat_shape(raw);
    shape_after = squeeze_shape(shape_before);
    if (shape_after.size() != 2) return std::nullopt;
    if (raw.total() == 0) return cv::Mat(0, 0, CV_MAKETYPE(raw.depth(), 1));
    // Engine outputs are continuous copies; anything else is made so once.
    const cv::Mat flat = raw.isContinuous() ? raw : raw.clone();
    const std::vector<int> rows_cols{static_cast<int>(shape_after[0]),
                                     static_cast<int>(shape_after[1])};
    return flat.reshape(1, rows_cols);
}

cv::Mat squeeze_and_crop(const cv::Mat& raw, const CanvasLayout& layout) {
    std::vector<std::int64_t> before, after;
    const auto map = squeeze_to_2d(raw, before, after);
    if (!map) {
        throw RuntimeError(
            fmt::format("model output shape {} does not yield a 2D map after "
                        "squeeze (got {})",
                        shape_repr(before), shape_repr(after)));
    }
    // Cropping first converts only the valid region to float32.
    return crop_to_valid(*map, layout);
}

cv::Mat flow_x_crop(const cv::Mat& raw, const CanvasLayout& layout,
                    const std::string& message_prefix) {
    const auto shape = mat_shape(raw);
    if (shape.size() != 4 || shape[0] != 1 || shape[1] != 2) {
        throw RuntimeError(message_prefix + shape_repr(shape));
    }
    const cv::Mat flow = raw.isContinuous() ? raw : raw.clone();
    const int h = static_cast<int>(shape[2]);
    const int w = static_cast<int>(shape[3]);
    // Channel 0 (horizontal flow) is the first H x W plane; channel 1 is dropped.
    const cv::Mat dx(h, w, CV_MAKETYPE(flow.depth(), 1), const_cast<uchar*>(flow.ptr()));
    return crop_to_valid(dx, layout);
}

InferenceVariant make_crestereo_variant(const CREStereoKey& key, const std::string& file_prefix,
                                        Json meta) {
    const int h = key.size.height;
    const int w = key.size.width;
    const std::string file_slug = fmt::format("{}_iter{}_{}x{}", file_prefix, key.n, h, w);
    InferenceVariant v;
    v.slug = crestereo_variant_slug(key);
    v.label = crestereo_variant_label(key);
    v.files_to_download = {ModelFile{
        .slug = file_slug, .filename = "model.onnx", .archive_member = file_slug + ".onnx"}};
    v.configurations = Json::object();
    v.configurations["iter"] = key.n;
    v.configurations["input_size"] = Json::array({h, w});
    v.configurations["selector_meta"] = std::move(meta);
    return v;
}

std::vector<InferenceVariant> crestereo_variants(
    std::span<const CREStereoKey> keys, const std::string& file_prefix,
    const std::function<Json(int n, int height, int width)>& meta) {
    std::vector<InferenceVariant> out;
    out.reserve(keys.size());
    for (const auto& key : keys) {
        out.push_back(
            make_crestereo_variant(key, file_prefix, meta(key.n, key.size.height, key.size.width)));
    }
    return out;
}

Image2BlobParams rgb_blob_params(const cv::Scalar& scale, const cv::Scalar& mean) {
    Image2BlobParams params;
    params.scalefactor = scale;
    params.size = cv::Size(0, 0);
    params.mean = mean;
    params.swapRB = true;
    params.ddepth = CV_32F;
    return params;
}

}  // namespace kelvo::detail
