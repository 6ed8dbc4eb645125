// Metric3D v2 ViT-Small: one variant, raw-pixel blob, squeeze, focal
// rescaling, crop and the base's depth adjustment.
#include "kelvo/inference/inferences/metric3d_v2_vit_small.hpp"

#include <cmath>
#include <memory>

#include <fmt/format.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/neural_common.hpp"
#include "kelvo/inference/registry.hpp"

namespace kelvo {

std::vector<InferenceVariant> Metric3DV2VitSmallInference::variants() {
    InferenceVariant v;
    v.slug = "vit-small-504x504";
    v.label = "ViT-Small / 504\u00d7504";
    v.files_to_download = {ModelFile{.slug = "metric3d_v2_vit_small_504x504",
                                     .filename = "model.onnx",
                                     .archive_member = std::nullopt}};
    Json meta = Json::object();
    meta["task"] = "mono";
    meta["speed_tier"] = 2;
    meta["accuracy_tier"] = 5;
    meta["min_engine_class"] = "igpu";
    meta["recommended_engine_class"] = "nvidia";
    meta["size_mb"] = 165.0;
    meta["params_m"] = 40.0;
    meta["published_fps"] = Json::object();
    meta["accuracy_metric"] = "NYUv2 AbsRel \u2248 0.042 / \u03b41 \u2248 0.980";
    meta["summary"] =
        "Mono depth from a single eye. Best mono choice for measurement, AR, robotics (uses "
        "real camera focal length).";
    meta["tags"] = Json::array(
        {"mono", "metric", "single-eye", "ar", "robotics", "weight:balanced", "year:2024"});
    meta["neural"] = true;
    meta["wizard_visible"] = true;
    meta["license"] = "CC0";
    meta["license_url"] = "https://creativecommons.org/publicdomain/zero/1.0/legalcode";
    v.configurations = Json::object();
    v.configurations["backbone"] = "vit-small";
    v.configurations["input_size"] = Json::array({INPUT_SIZE.height, INPUT_SIZE.width});
    v.configurations["selector_meta"] = std::move(meta);
    return {std::move(v)};
}

void Metric3DV2VitSmallInference::_init_extra_state() {
    NeuralMonoInferenceBase::_init_extra_state();
    _canonical_focal_px = 1000.0;
    _blob_params = detail::rgb_blob_params(detail::RAW_BLOB_SCALE, detail::RAW_BLOB_MEAN);
    _actual_focal_px.store(std::numeric_limits<double>::quiet_NaN());
}

void Metric3DV2VitSmallInference::set_intrinsics(double fx, double fy, double /*cx*/,
                                                 double /*cy*/) {
    _actual_focal_px.store(std::sqrt(fx * fy));
}

std::optional<double> Metric3DV2VitSmallInference::actual_focal_px() const {
    const double f = _actual_focal_px.load();
    if (std::isnan(f)) return std::nullopt;
    return f;
}

std::vector<cv::Mat> Metric3DV2VitSmallInference::preprocess(const cv::Mat& canvas_l,
                                                             const cv::Mat* /*canvas_r*/) {
    return {detail::blob_from_image_with_params(canvas_l, _blob_params)};
}

cv::Mat Metric3DV2VitSmallInference::postprocess(const cv::Mat& raw_output,
                                                 const CanvasLayout& layout) {
    std::vector<std::int64_t> before, after;
    const auto map = detail::squeeze_to_2d(raw_output, before, after);
    if (!map) {
        throw RuntimeError(fmt::format(
            "metric3d-v2-vit-small expects a 2D depth map after squeeze; got shape {} \u2192 {}",
            detail::shape_repr(before), detail::shape_repr(after)));
    }
    // Crop first so only the valid region is converted and rescaled; the
    // product is the same per element either way.
    cv::Mat depth = crop_to_valid(*map, layout);
    if (const auto actual = actual_focal_px()) {
        const double scale = *actual / _canonical_focal_px;
        if (scale != 1.0) {
            // A float32 product, as the network's own arithmetic would give.
            const float factor = static_cast<float>(scale);
            float* d = depth.ptr<float>();  // contiguous: made by crop_to_valid
            for (std::size_t i = 0; i < depth.total(); ++i) d[i] *= factor;
        }
    }
    return _apply_depth_affine(depth);
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::Metric3DV2VitSmallInference, "metric3d-v2-vit-small")
