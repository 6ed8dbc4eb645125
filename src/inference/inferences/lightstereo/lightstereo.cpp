// LightStereo back-end: variant table, ImageNet-normalised blobs and
// squeeze-and-crop disparity.
#include "kelvo/inference/inferences/lightstereo.hpp"
#include "kelvo/inference/inferences/neural_common.hpp"

#include <memory>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"

namespace kelvo {
namespace {

struct VariantRow {
    const char* slug;
    const char* label;
    const char* file_slug;
    const char* build;
    HeightWidth size;
};

Json selector_meta(int index) {
    const bool fast = index != 1;  // variants 1 and 3 share the fast 256x512 metadata
    Json meta = Json::object();
    meta["task"] = "stereo";
    meta["speed_tier"] = fast ? 5 : 3;
    meta["accuracy_tier"] = fast ? 3 : 4;
    meta["min_engine_class"] = fast ? "cpu" : "igpu";
    meta["recommended_engine_class"] = fast ? "igpu" : "nvidia";
    meta["size_mb"] = 14.0;
    meta["params_m"] = 3.44;
    meta["published_fps"] = fast ? Json{{"nvidia", 58}} : Json::object();
    meta["accuracy_metric"] =
        fast ? "SceneFlow EPE 0.73 px" : "SceneFlow EPE 0.73 px (same weights, higher input)";
    switch (index) {
        case 0:
            meta["summary"] = "Fast neural stereo, runs even on your CPU.";
            meta["tags"] = Json::array(
                {"live", "low-latency", "default", "weight:light", "year:2024", "preset:fast"});
            break;
        case 1:
            meta["summary"] =
                "Same fast model at higher resolution \u2014 sharper depth, needs a GPU.";
            meta["tags"] = Json::array({"high-res", "weight:light", "year:2024"});
            break;
        default:
            meta["summary"] = "Same weights as the optimized export \u2014 kept for compatibility.";
            meta["tags"] = Json::array({"compat", "weight:light", "year:2024"});
            break;
    }
    meta["neural"] = true;
    meta["wizard_visible"] = index != 2;
    meta["license"] = "non-commercial";
    meta["license_url"] = detail::LIGHTSTEREO_LICENSE_URL;
    if (index == 0) meta["min_ram_mb"] = 50;
    return meta;
}

}  // namespace

std::vector<InferenceVariant> LightStereoInference::variants() {
    static constexpr VariantRow rows[] = {
        {"s-sceneflow-opt-256x512",
         "S / SceneFlow / 256\u00d7512 (opt)",
         "lightstereo_s_sceneflow_general_opt_256_512",
         "opt",
         {256, 512}},
        {"s-sceneflow-opt-576x960",
         "S / SceneFlow / 576\u00d7960 (opt)",
         "lightstereo_s_sceneflow_opt_576x960",
         "opt",
         {576, 960}},
        {"s-sceneflow-origin-256x512",
         "S / SceneFlow / 256\u00d7512 (origin)",
         "lightstereo_s_sceneflow_origin_256x512",
         "origin",
         {256, 512}},
    };
    std::vector<InferenceVariant> variants;
    for (int i = 0; i < 3; ++i) {
        const VariantRow& row = rows[i];
        InferenceVariant variant;
        variant.slug = row.slug;
        variant.label = row.label;
        variant.files_to_download = {ModelFile{.slug = row.file_slug, .filename = "model.onnx"}};
        Json config = Json::object();
        config["size"] = "s";
        config["dataset"] = "sceneflow";
        config["build"] = row.build;
        config["input_size"] = Json::array({row.size.height, row.size.width});
        config["selector_meta"] = selector_meta(i);
        variant.configurations = std::move(config);
        variants.push_back(std::move(variant));
    }
    return variants;
}

void LightStereoInference::_init_extra_state() {
    _blob_params = detail::rgb_blob_params(detail::IMAGENET_BLOB_SCALE, detail::IMAGENET_BLOB_MEAN);
}

std::vector<cv::Mat> LightStereoInference::preprocess(const cv::Mat& canvas_l,
                                                      const cv::Mat* canvas_r) {
    if (canvas_r == nullptr) {
        throw std::invalid_argument("LightStereo needs both canvases; the right one is absent");
    }
    cv::Mat left = detail::blob_from_image_with_params(canvas_l, _blob_params);
    cv::Mat right = detail::blob_from_image_with_params(*canvas_r, _blob_params);
    return {std::move(left), std::move(right)};
}

cv::Mat LightStereoInference::postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) {
    return detail::squeeze_and_crop(raw_output, layout);
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::LightStereoInference, "lightstereo");
