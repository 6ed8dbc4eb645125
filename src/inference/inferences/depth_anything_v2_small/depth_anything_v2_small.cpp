// Depth Anything v2 Small: one variant with a two-file model, ImageNet blob,
// squeeze-and-crop and the base's depth adjustment.
#include "kelvo/inference/inferences/depth_anything_v2_small.hpp"

#include <memory>

#include "kelvo/inference/inferences/neural_common.hpp"
#include "kelvo/inference/registry.hpp"

namespace kelvo {

std::vector<InferenceVariant> DepthAnythingV2SmallInference::variants() {
    InferenceVariant v;
    v.slug = "518x518";
    v.label = "518\u00d7518 (default)";
    // The graph first, then its external weights.
    v.files_to_download = {
        ModelFile{.slug = "depth_anything_v2_small_518x518_onnx",
                  .filename = "model.onnx",
                  .archive_member = std::nullopt},
        ModelFile{.slug = "depth_anything_v2_small_518x518_onnx_data",
                  .filename = "model.onnx_data",
                  .archive_member = std::nullopt},
    };
    Json meta = Json::object();
    meta["task"] = "mono";
    meta["speed_tier"] = 2;
    meta["accuracy_tier"] = 4;
    meta["min_engine_class"] = "igpu";
    meta["recommended_engine_class"] = "nvidia";
    meta["size_mb"] = 99.2;
    meta["params_m"] = 24.8;
    meta["published_fps"] = Json{{"nvidia", 30}};
    meta["accuracy_metric"] = "NYUv2 AbsRel 0.053 / \u03b41 0.973";
    meta["summary"] =
        "Mono depth from a single eye. Strong for visualization; calibrate scale for "
        "measurement use.";
    meta["tags"] =
        Json::array({"mono", "visualization", "single-eye", "weight:balanced", "year:2024"});
    meta["neural"] = true;
    meta["wizard_visible"] = true;
    meta["license"] = "Apache-2.0";
    meta["license_url"] = "https://github.com/DepthAnything/Depth-Anything-V2/blob/main/LICENSE";
    v.configurations = Json::object();
    v.configurations["size"] = "small";
    v.configurations["input_size"] = Json::array({518, 518});
    v.configurations["selector_meta"] = std::move(meta);
    return {std::move(v)};
}

void DepthAnythingV2SmallInference::_init_extra_state() {
    NeuralMonoInferenceBase::_init_extra_state();
    _blob_params = detail::rgb_blob_params(detail::IMAGENET_BLOB_SCALE, detail::IMAGENET_BLOB_MEAN);
}

std::vector<cv::Mat> DepthAnythingV2SmallInference::preprocess(const cv::Mat& canvas_l,
                                                               const cv::Mat* /*canvas_r*/) {
    return {detail::blob_from_image_with_params(canvas_l, _blob_params)};
}

cv::Mat DepthAnythingV2SmallInference::postprocess(const cv::Mat& raw_output,
                                                   const CanvasLayout& layout) {
    return _apply_depth_affine(detail::squeeze_and_crop(raw_output, layout));
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::DepthAnythingV2SmallInference, "depth-anything-v2-small")
