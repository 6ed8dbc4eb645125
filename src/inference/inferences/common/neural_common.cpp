// Output-shape helpers of the neural back-ends.
#include "kelvo/inference/inferences/neural_common.hpp"

#include <fmt/format.h>

#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/base.hpp"

namespace kelvo::detail {

std::vector<std::int64_t> mat_shape(const cv::Mat& array) {
    std::vector<std::int64_t> shape;
    if (array.empty() && array.dims == 0) return shape;
    shape.reserve(static_cast<std::size_t>(array.dims) + 1);
    for (int i = 0; i < array.dims; ++i) shape.push_back(array.size[i]);
    if (array.channels() > 1) shape.push_back(array.channels());
    return shape;
}

std::string shape_repr(const std::vector<std::int64_t>& shape) {
    if (shape.size() == 1) return fmt::format("({},)", shape.front());
    return fmt::format("({})", fmt::join(shape, ", "));
}

std::vector<std::int64_t> squeeze_shape(const std::vector<std::int64_t>& shape) {
    std::vector<std::int64_t> out;
    for (auto d : shape) {
        if (d != 1) out.push_back(d);
    }
    return out;
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

std::filesystem::path resolve_network_with_companions(const InferenceVariant& variant) {
    if (variant.files_to_download.empty()) {
        throw RuntimeError(fmt::format("variant '{}' names no model file", variant.slug));
    }
    namespace fs = std::filesystem;
    const fs::path network = variant.files_to_download.front().resolve(variant.slug);
    for (std::size_t i = 1; i < variant.files_to_download.size(); ++i) {
        const ModelFile& file = variant.files_to_download[i];
        const fs::path beside = network.parent_path() / file.filename;
        // The file under its own slug wins, so a newer download replaces an
        // older placement; a file only present beside the network is used as is.
        std::optional<fs::path> source;
        try {
            source = file.resolve(variant.slug);
        } catch (const RuntimeError&) {
            if (!fs::is_regular_file(beside)) throw;
        }
        if (!source) continue;
        std::error_code ec;
        if (fs::exists(beside, ec) && fs::equivalent(*source, beside, ec)) continue;
        // A hard link, or a copy across file systems: the runtime refuses
        // weights reached through a symbolic link that leaves the folder.
        ec.clear();
        fs::remove(beside, ec);
        ec.clear();
        fs::create_hard_link(*source, beside, ec);
        if (ec) {
            ec.clear();
            fs::copy_file(*source, beside, fs::copy_options::overwrite_existing, ec);
        }
        if (ec || !fs::is_regular_file(beside)) {
            throw RuntimeError(fmt::format(
                "cannot place {} beside the network {} for variant '{}': {}", source->string(),
                network.string(), variant.slug, ec ? ec.message() : "not a file"));
        }
    }
    return network;
}

std::shared_ptr<InferenceEngine> create_engine_for(const InferenceVariant& variant,
                                                   const InferenceCreateOptions& options,
                                                   const std::optional<HeightWidth>& input_size,
                                                   const std::optional<std::string>& output_name) {
    OpenVINORunnerOptions engine_options;
    engine_options.model_path = resolve_network_with_companions(variant);
    engine_options.device = options.device;
    engine_options.nireq = options.nireq;
    engine_options.do_models_cache = options.do_models_cache;
    engine_options.cache_dir = options.cache_dir;
    if (input_size) {
        engine_options.input_shape =
            std::vector<std::int64_t>{1, 3, input_size->height, input_size->width};
    }
    engine_options.output_name = output_name;
    return create_openvino_runner(engine_options);
}

std::string crestereo_variant_slug(const CREStereoKey& key) {
    return fmt::format("iter{}-{}x{}", key.n, key.size.height, key.size.width);
}

std::string crestereo_variant_label(const CREStereoKey& key) {
    return fmt::format("iter {} / {}\u00d7{}", key.n, key.size.height, key.size.width);
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

}  // namespace kelvo::detail
