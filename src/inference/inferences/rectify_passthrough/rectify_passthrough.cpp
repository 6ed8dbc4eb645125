// The "rectify-passthrough" back-end: variants and the loud failure of the
// inference hooks the pipeline must never reach.
#include "kelvo/inference/inferences/rectify_passthrough.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/log.hpp"

namespace kelvo {
namespace {

constexpr double MAX_CANVAS_SIDE = 65536;

// Python-style text of a size sequence: (0, 640), (360.5, 640), (1, 2, 3).
std::string size_repr(const Json& value) {
    if (!value.is_array()) {
        if (value.is_string()) return repr(value.get<std::string>());
        if (value.is_number_integer()) return repr(value.get<long long>());
        if (value.is_number()) return repr(value.get<double>());
        if (value.is_null()) return "None";
        return value.dump();
    }
    std::string text = "(";
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (i) text += ", ";
        text += size_repr(value[i]);
    }
    if (value.size() == 1) text += ",";
    return text + ")";
}

// Identical for every size: the pass-through has nothing that depends on it.
Json selector_meta() {
    return detail::classical_selector_meta(
        {.speed_tier = 5,
         .accuracy_tier = 0,
         .accuracy_metric = "n/a (no inference)",
         .summary = "No depth — emit rectified frames only. For calibration sanity-checks and "
                    "capture.",
         .tags = Json::array({"debug", "capture", "no-inference"}),
         .wizard_visible = false,
         .license_url = ""});
}

}  // namespace

std::vector<InferenceVariant> RectifyPassthroughInference::variants() {
    return detail::canvas_size_variants({selector_meta(), selector_meta(), selector_meta()});
}

namespace {
Json canvas_size_json(const InferenceVariant& variant) {
    const auto it = variant.inference_kwargs.find("canvas_size");
    return it == variant.inference_kwargs.end() ? Json() : *it;
}
}  // namespace

RectifyPassthroughInference::RectifyPassthroughInference(const InferenceVariant& variant)
    : RectifyPassthroughInference(canvas_size_json(variant)) {}

RectifyPassthroughInference::RectifyPassthroughInference(const Json& canvas_size) {
    bool ok = canvas_size.is_array() && canvas_size.size() == 2;
    if (ok) {
        for (const auto& element : canvas_size) {
            // Whole numbers that fit a canvas: 1.5 is no size, and 1e12 would
            // not survive the cast.
            ok = ok && element.is_number() && element.get<double>() > 0 &&
                 element.get<double>() <= MAX_CANVAS_SIDE &&
                 element.get<double>() == std::floor(element.get<double>());
        }
    }
    if (!ok) {
        throw std::invalid_argument("canvas_size must be (H, W) of positive ints; got " +
                                    size_repr(canvas_size));
    }
    _canvas_h = static_cast<int>(canvas_size[0].get<double>());
    _canvas_w = static_cast<int>(canvas_size[1].get<double>());
}

RectifyPassthroughInference::RectifyPassthroughInference(HeightWidth canvas_size)
    : RectifyPassthroughInference(Json::array({canvas_size.height, canvas_size.width})) {}

std::string RectifyPassthroughInference::label() const {
    return fmt::format("rectify-passthrough ({}x{})", _canvas_h, _canvas_w);
}

InferenceFuturePtr RectifyPassthroughInference::submit(const std::vector<cv::Mat>&) {
    throw RuntimeError(
        "RectifyPassthroughInference.submit() called — pipeline should have taken the bypass "
        "branch. This usually means the worker's rectify-passthrough check is wired wrong; file "
        "a bug.");
}

cv::Mat RectifyPassthroughInference::postprocess(const cv::Mat&, const CanvasLayout&) {
    throw RuntimeError("RectifyPassthroughInference.postprocess() called — same bug.");
}

}  // namespace kelvo

KELVO_REGISTER_INFERENCE(kelvo::RectifyPassthroughInference, "rectify-passthrough")
