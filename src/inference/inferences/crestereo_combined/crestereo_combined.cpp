// CREStereo combined export: 20 variants with computed selection metadata,
// four-blob raw-pixel preprocessing and (1, 2, H, W) postprocessing.
#include "kelvo/inference/inferences/crestereo_combined.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "kelvo/inference/inferences/neural_common.hpp"
#include "kelvo/inference/registry.hpp"

namespace kelvo {

namespace detail {

namespace {

struct CREStereoSummary {
    CREStereoKey key;
    std::string_view summary;
};

/// Summaries of the named rungs; every other key gets
/// CRESTEREO_COMBINED_DEFAULT_SUMMARY.
constexpr std::array<CREStereoSummary, 5> CRESTEREO_COMBINED_SUMMARIES{{
    {{2, {240, 320}},
     "Smallest CREStereo rung \u2014 runs on plain CPU. Lower latency, less detail."},
    {{5, {240, 320}}, "Balanced speed and accuracy."},
    {{5, {360, 640}}, "Strong accuracy at usable speed \u2014 good real-time middle ground."},
    {{10, {480, 640}}, "Near-best CREStereo accuracy. For careful capture, not live preview."},
    {{20, {720, 1280}}, "Highest CREStereo accuracy. Slow even on a high-end GPU."},
}};
constexpr std::string_view CRESTEREO_COMBINED_DEFAULT_SUMMARY =
    "CREStereo combined rung for fine-grained control.";

struct CREStereoBaseTags {
    CREStereoKey key;
    std::array<std::string_view, 3> tags;  ///< empty entries end the list
};

/// Leading tags of the named rungs; every other key gets ["advanced"].
constexpr std::array<CREStereoBaseTags, 4> CRESTEREO_COMBINED_BASE_TAGS{{
    {{2, {240, 320}}, {"live", "low-latency", ""}},
    {{5, {360, 640}}, {"balanced", "default-family", ""}},
    {{10, {480, 640}}, {"high-accuracy", "capture", ""}},
    {{20, {720, 1280}}, {"high-accuracy", "capture", "max"}},
}};

}  // namespace

Json _crestereo_combined_meta(int n, int h, int w) {
    const CREStereoKey key{n, {h, w}};
    const long long pixels = static_cast<long long>(h) * w;

    int speed = 1;
    if (n <= 2) {
        speed = pixels <= 153600 ? 4 : 3;
    } else if (n <= 5) {
        speed = pixels <= 230400 ? 3 : 2;
    } else if (n <= 10) {
        speed = pixels <= 307200 ? 2 : 1;
    }

    Json fps = Json::object();
    if (key == CREStereoKey{5, {480, 640}}) {
        fps["nvidia"] = 11;
    } else if (key == CREStereoKey{5, {240, 320}}) {
        fps["cpu"] = 8;
    }

    std::string summary(CRESTEREO_COMBINED_DEFAULT_SUMMARY);
    for (const auto& entry : CRESTEREO_COMBINED_SUMMARIES) {
        if (entry.key == key) summary = entry.summary;
    }

    Json tags = Json::array();
    const auto base =
        std::find_if(CRESTEREO_COMBINED_BASE_TAGS.begin(), CRESTEREO_COMBINED_BASE_TAGS.end(),
                     [&](const auto& entry) { return entry.key == key; });
    if (base == CRESTEREO_COMBINED_BASE_TAGS.end()) {
        tags.push_back("advanced");
    } else {
        for (auto tag : base->tags) {
            if (!tag.empty()) tags.push_back(std::string(tag));
        }
    }
    if (n <= 2 && pixels <= 153600) {
        tags.push_back("weight:light");
    } else if (n <= 5 && pixels <= 307200) {
        tags.push_back("weight:balanced");
    } else if (n <= 10 && pixels <= 307200) {
        tags.push_back("weight:balanced");
        tags.push_back("weight:heavy");
    } else {
        tags.push_back("weight:heavy");
    }
    tags.push_back("year:2022");

    const bool wizard =
        std::find(CRESTEREO_COMBINED_WIZARD_KEYS.begin(), CRESTEREO_COMBINED_WIZARD_KEYS.end(),
                  key) != CRESTEREO_COMBINED_WIZARD_KEYS.end();

    Json meta = Json::object();
    meta["task"] = "stereo";
    meta["speed_tier"] = speed;
    meta["accuracy_tier"] = n <= 5 ? 4 : 5;
    meta["min_engine_class"] = "cpu";
    meta["recommended_engine_class"] = "nvidia";
    meta["size_mb"] = 28.0;
    meta["params_m"] = 7.0;
    meta["published_fps"] = std::move(fps);
    meta["accuracy_metric"] = "Middlebury Bad-2.0 3.71 % / KITTI 2015 D1 ~1.7 % (paper)";
    meta["summary"] = summary;
    meta["tags"] = std::move(tags);
    meta["neural"] = true;
    meta["wizard_visible"] = wizard;
    meta["license"] = "Apache-2.0";
    meta["license_url"] = std::string(CRESTEREO_LICENSE_URL);
    return meta;
}

}  // namespace detail

std::vector<InferenceVariant> CREStereoCombinedInference::variants() {
    return detail::crestereo_variants(detail::CRESTEREO_COMBINED_VARIANTS, "crestereo_combined",
                                      detail::_crestereo_combined_meta);
}

void CREStereoCombinedInference::_init_extra_state() {
    _params_full = detail::rgb_blob_params(detail::RAW_BLOB_SCALE, detail::RAW_BLOB_MEAN);
    _params_half.reset();
    _half_canvas.reset();
}

std::vector<cv::Mat> CREStereoCombinedInference::preprocess(const cv::Mat& canvas_l,
                                                            const cv::Mat* canvas_r) {
    if (canvas_r == nullptr) {
        throw std::invalid_argument("crestereo-combined needs a right canvas");
    }
    const HeightWidth canvas{canvas_l.rows, canvas_l.cols};
    if (!_half_canvas || *_half_canvas != canvas) {
        detail::Image2BlobParams half = _params_full;
        half.size = cv::Size(canvas.width / 2, canvas.height / 2);
        _params_half = half;
        _half_canvas = canvas;
        ++_half_params_builds;
    }
    cv::Mat full_l = detail::blob_from_image_with_params(canvas_l, _params_full);
    cv::Mat full_r = detail::blob_from_image_with_params(*canvas_r, _params_full);
    cv::Mat half_l = detail::blob_from_image_with_params(canvas_l, *_params_half);
    cv::Mat half_r = detail::blob_from_image_with_params(*canvas_r, *_params_half);
    return {std::move(half_l), std::move(half_r), std::move(full_l), std::move(full_r)};
}

cv::Mat CREStereoCombinedInference::postprocess(const cv::Mat& raw_output,
                                                const CanvasLayout& layout) {
    return detail::flow_x_crop(raw_output, layout,
                               "crestereo-combined expects raw output shape (1, 2, H, W); got ");
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::CREStereoCombinedInference, "crestereo-combined")
