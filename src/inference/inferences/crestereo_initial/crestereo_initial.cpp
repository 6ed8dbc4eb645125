// CREStereo single-pass export: 15 variants with computed selection metadata,
// two-blob raw-pixel preprocessing and (1, 2, H, W) postprocessing.
#include "kelvo/inference/inferences/crestereo_initial.hpp"

#include <memory>
#include <stdexcept>

#include "kelvo/inference/inferences/neural_common.hpp"
#include "kelvo/inference/registry.hpp"

namespace kelvo {

namespace detail {

Json _crestereo_initial_meta(int n, int h, int w) {
    const CREStereoKey key{n, {h, w}};
    const long long pixels = static_cast<long long>(h) * w;
    const bool wizard = key == CRESTEREO_INITIAL_WIZARD_KEY;

    // Exact iteration counts here, unlike the combined tiers.
    int speed = 1;
    if (n == 2) {
        speed = pixels <= 38400 ? 4 : 3;
    } else if (n == 5) {
        speed = pixels <= 57600 ? 3 : 2;
    }

    std::string min_class = "nvidia";
    if (n <= 2 && pixels <= 38400) {
        min_class = "cpu";
    } else if (pixels <= 230400) {
        min_class = "igpu";
    }

    std::string weight = "weight:balanced";
    if (n <= 2 && pixels <= 76800) {
        weight = "weight:light";
    } else if (n >= 10 && pixels >= 307200) {
        weight = "weight:heavy";
    }

    Json meta = Json::object();
    meta["task"] = "stereo";
    meta["speed_tier"] = speed;
    meta["accuracy_tier"] = n <= 2 ? 3 : 4;
    meta["min_engine_class"] = min_class;
    meta["recommended_engine_class"] = pixels > 230400 ? "nvidia" : "igpu";
    meta["size_mb"] = 26.0;
    meta["params_m"] = 7.0;
    meta["published_fps"] = Json::object();
    meta["accuracy_metric"] = "Middlebury Bad-2.0 3.71 % / KITTI 2015 D1 ~1.7 % (paper, combined)";
    meta["summary"] = wizard ? "Neural stereo with sharper edges than LightStereo."
                             : "CREStereo single-pass variant \u2014 finer control over the "
                               "speed/accuracy curve.";
    meta["tags"] = Json::array({wizard ? "live" : "advanced", weight, "year:2022"});
    meta["neural"] = true;
    meta["wizard_visible"] = wizard;
    meta["license"] = "Apache-2.0";
    meta["license_url"] = std::string(CRESTEREO_LICENSE_URL);
    return meta;
}

}  // namespace detail

std::vector<InferenceVariant> CREStereoInitialInference::variants() {
    return detail::crestereo_variants(detail::CRESTEREO_INITIAL_VARIANTS, "crestereo_init",
                                      detail::_crestereo_initial_meta);
}

void CREStereoInitialInference::_init_extra_state() {
    _blob_params = detail::rgb_blob_params(detail::RAW_BLOB_SCALE, detail::RAW_BLOB_MEAN);
}

std::vector<cv::Mat> CREStereoInitialInference::preprocess(const cv::Mat& canvas_l,
                                                           const cv::Mat* canvas_r) {
    if (canvas_r == nullptr) {
        throw std::invalid_argument("crestereo-initial needs a right canvas");
    }
    cv::Mat left = detail::blob_from_image_with_params(canvas_l, _blob_params);
    cv::Mat right = detail::blob_from_image_with_params(*canvas_r, _blob_params);
    return {std::move(left), std::move(right)};
}

cv::Mat CREStereoInitialInference::postprocess(const cv::Mat& raw_output,
                                               const CanvasLayout& layout) {
    return detail::flow_x_crop(raw_output, layout,
                               "crestereo-initial expects raw output shape (1, 2, H, W); got ");
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::CREStereoInitialInference, "crestereo-initial")
