// The post-processing chain: its controls, the order of its stages and the
// temporal filter's history.
#include "kelvo/pipeline/post_chain.hpp"

#include <cmath>
#include <stdexcept>

#include <fmt/format.h>

#include "pipeline/post/post_stages.hpp"

namespace kelvo {

namespace {

constexpr float FILLED = FILLED_CONFIDENCE / 255.0f;

}  // namespace

/// The temporal filter's history: the last output before hole filling, its
/// confidence and how many frames each held value has been carried.
struct PostChain::Temporal {
    cv::Mat map, confidence;
    cv::Mat age;  ///< CV_8U
    std::int64_t frame_index = 0;
    std::uint64_t scene = 0;
    bool valid = false;
};

std::vector<IntControl> PostChain::CONTROLS(const PostChainTraits& traits) {
    const std::vector<std::pair<double, std::string>> on_off = {{0, "off"}, {1, "on"}};
    return {
        IntControl::enumeration("post_chain", 1, "Post-processing (every stage)", on_off),
        IntControl::number("post_lr_check", traits.right_view ? 1 : 0,
                           "Left-right check tolerance (0 = off)", 0, 32, 1, "px"),
        IntControl::number("post_speckle_window", traits.depth_map ? 0 : 100,
                           "Speckle removal: largest speckle (0 = off)", 0, 4000, 1, "px"),
        IntControl::number("post_speckle_range", 2, "Speckle removal: step inside a speckle", 1, 32,
                           1, "px"),
        IntControl::enumeration("post_edge_filter", 0, "Edge-aware filter (left view)", on_off),
        IntControl::number("post_edge_lambda", 500, "Edge-aware filter strength (lambda)", 1,
                           100000, 1),
        IntControl::number("post_edge_sigma_centi", 150,
                           "Edge-aware filter colour sigma (hundredths)", 1, 1000, 1, "x0.01"),
        IntControl::enumeration("post_temporal", 0, "Temporal filter", on_off),
        IntControl::number("post_temporal_alpha_pct", 40, "Temporal filter: weight of a new frame",
                           1, 100, 1, "%"),
        IntControl::number("post_temporal_delta_pct", 10,
                           "Temporal filter: largest change smoothed (share of the value)", 1, 100,
                           1, "%"),
        IntControl::number("post_temporal_persistence", 2,
                           "Temporal filter: frames a hole keeps the last value", 0, 30, 1,
                           "frames"),
        IntControl::enumeration("post_fill", 1, "Hole filling", {{0, "off"}, {1, "background"}}),
    };
}

bool PostChain::is_chain_control(const std::string& name) {
    return name.rfind("post_", 0) == 0;
}

PostChain::PostChain(PostChainTraits traits)
    : _traits(std::move(traits)),
      _controls(CONTROLS(_traits)),
      _temporal(std::make_unique<Temporal>()) {}

PostChain::~PostChain() = default;

void PostChain::set_control(const std::string& name, int value) {
    if (_controls.has(name) && value != 0) {
        if (name == "post_lr_check" && !_traits.right_view) {
            throw std::invalid_argument(fmt::format(
                "post_lr_check needs a right-view map; back-end '{}' gives none", _traits.backend));
        }
        if (name == "post_speckle_window" && _traits.depth_map) {
            throw std::invalid_argument(
                fmt::format("post_speckle_window works on disparity; back-end '{}' gives depth",
                            _traits.backend));
        }
    }
    _controls.set(name, value);
}

bool PostChain::needs_right_view() const {
    return control("post_chain") != 0 && control("post_lr_check") > 0;
}

bool PostChain::needs_guide() const {
    return control("post_chain") != 0 && control("post_edge_filter") != 0;
}

void PostChain::reset() {
    _temporal->valid = false;
}

PostOutput PostChain::process(const PostInput& input) {
    cv::Mat map = input.map.clone();
    if (control("post_chain") == 0) {
        // The back-end's own map, with the trust its values earn by themselves.
        PostOutput out;
        out.map = map;
        if (input.want_confidence) {
            finish_confidence(map, detail::measured_confidence(map, {}, _traits.depth_map), out);
        }
        return out;
    }
    cv::Mat disagreement;
    // The right view comes when the check was on as the frame was matched:
    // a check turned on since starts with the next frame.
    if (const int tolerance = control("post_lr_check");
        tolerance > 0 && !input.right_view.empty() && input.right_view.size() == map.size()) {
        detail::left_right_check(map, input.right_view, static_cast<float>(tolerance),
                                 disagreement);
    }
    if (const int window = control("post_speckle_window"); window > 0) {
        detail::remove_speckles(map, window, static_cast<float>(control("post_speckle_range")));
    }
    // The edge-aware filter weighs by it and the temporal filter carries it.
    const bool measure =
        input.want_confidence || control("post_edge_filter") != 0 || control("post_temporal") != 0;
    cv::Mat confidence = measure ? detail::measured_confidence(map, disagreement, _traits.depth_map)
                                 : cv::Mat(map.size(), CV_32F, cv::Scalar(0.0f));

    if (control("post_edge_filter") != 0 && !input.guide.empty()) {
        detail::edge_aware_filter(map, confidence, input.guide, control("post_edge_lambda"),
                                  control("post_edge_sigma_centi") / 100.0, FILLED);
    }

    if (control("post_temporal") != 0) {
        Temporal& t = *_temporal;
        // History carries only to the next frame of the same scene made the
        // same way; a change of any setting also starts afresh.
        const bool continues = t.valid && t.map.size() == map.size() && t.scene == input.scene &&
                               input.frame_index == t.frame_index + 1 &&
                               _temporal_version == _controls.version();
        if (continues) {
            const float alpha = control("post_temporal_alpha_pct") / 100.0f;
            const float delta = control("post_temporal_delta_pct") / 100.0f;
            const int persistence = control("post_temporal_persistence");
            for (int y = 0; y < map.rows; ++y) {
                float* m = map.ptr<float>(y);
                float* c = confidence.ptr<float>(y);
                const float* pm = t.map.ptr<float>(y);
                const float* pc = t.confidence.ptr<float>(y);
                std::uint8_t* age = t.age.ptr<std::uint8_t>(y);
                for (int x = 0; x < map.cols; ++x) {
                    if (!std::isnan(m[x])) {
                        if (!std::isnan(pm[x]) && std::abs(m[x] - pm[x]) <= delta * std::abs(pm[x]))
                            m[x] = alpha * m[x] + (1.0f - alpha) * pm[x];
                        age[x] = 0;
                    } else if (!std::isnan(pm[x]) && age[x] < persistence) {
                        // A held value loses half its trust with each frame it is carried.
                        m[x] = pm[x];
                        c[x] = std::max(0.5f * pc[x], 1.0f / 255.0f);
                        ++age[x];
                    }
                }
            }
        } else {
            t.age = cv::Mat::zeros(map.size(), CV_8U);
        }
        map.copyTo(t.map);
        confidence.copyTo(t.confidence);
        t.frame_index = input.frame_index;
        t.scene = input.scene;
        t.valid = true;
        _temporal_version = _controls.version();
    }

    if (control("post_fill") != 0) {
        detail::fill_holes(map, confidence, _traits.depth_map, FILLED);
    }

    PostOutput out;
    out.map = map;
    if (input.want_confidence) finish_confidence(map, confidence, out);
    return out;
}

void PostChain::finish_confidence(const cv::Mat& map, const cv::Mat& confidence, PostOutput& out) {
    confidence.convertTo(out.confidence, CV_8U, 255.0);
    // A value the chain could not give has no trust, whatever rounding says.
    out.confidence.setTo(0, ~(map == map));  // NaN: unequal to itself
}

}  // namespace kelvo
