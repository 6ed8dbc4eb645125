#include "kelvo/inference/base.hpp"

#include <exception>
#include <limits>
#include <thread>

#include <fmt/format.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/disparity_filter.hpp>

#include "kelvo/cache_dir.hpp"
#include "kelvo/errors.hpp"

namespace kelvo {

const char* kind_name(InferenceKind kind) {
    return kind == InferenceKind::mono ? "mono" : "stereo";
}

float invalid_value() {
    return std::numeric_limits<float>::quiet_NaN();
}

std::filesystem::path ModelFile::path() const {
    return get_cache_dir() / "models" / slug / filename;
}

std::filesystem::path ModelFile::resolve(const std::string& variant_slug) const {
    const auto file = path();
    if (std::filesystem::is_regular_file(file)) return file;
    if (archive_member) {
        const auto member = file.parent_path() / *archive_member;
        if (std::filesystem::is_regular_file(member)) return member;
    }
    throw RuntimeError(fmt::format(
        "model file for variant '{}' not found: {}{} (place the exported network there)",
        variant_slug, file.string(),
        archive_member ? " or " + (file.parent_path() / *archive_member).string() : ""));
}

Json ModelFile::to_json() const {
    Json j;
    j["slug"] = slug;
    j["filename"] = filename;
    j["archive_member"] = archive_member ? Json(*archive_member) : Json(nullptr);
    j["path"] = path().string();
    return j;
}

std::optional<HeightWidth> InferenceVariant::input_size() const {
    auto it = configurations.find("input_size");
    if (it == configurations.end() || !it->is_array() || it->size() != 2) return std::nullopt;
    return HeightWidth{(*it)[0].get<int>(), (*it)[1].get<int>()};
}

Json InferenceVariant::to_json() const {
    Json j;
    j["slug"] = slug;
    j["label"] = label;
    j["inference_kwargs"] = inference_kwargs;
    Json files = Json::array();
    for (const auto& f : files_to_download) files.push_back(f.to_json());
    j["files_to_download"] = files;
    j["configurations"] = configurations;
    return j;
}

DepthInferenceBase::~DepthInferenceBase() = default;

ClassicStereoInferenceBase::ClassicStereoInferenceBase(HeightWidth canvas_size)
    : _canvas_h(canvas_size.height), _canvas_w(canvas_size.width) {}

void ClassicStereoInferenceBase::prepare(const cv::Mat& canvas_l, const cv::Mat& canvas_r) {
    const std::uint64_t version = _controls.version();
    if (!_matcher || version != _matcher_version) {
        _rebuild_matcher();
        _right_matcher.release();
        _matcher_version = version;
    }
    auto to_grey = [](const cv::Mat& in, cv::Mat& out) {
        if (in.channels() == 3) {
            cv::cvtColor(in, out, cv::COLOR_BGR2GRAY);
        } else {
            out = in;
        }
    };
    to_grey(canvas_l, _grey_l);
    to_grey(canvas_r, _grey_r);
}

cv::Mat ClassicStereoInferenceBase::compute(const cv::Mat& canvas_l, const cv::Mat& canvas_r) {
    prepare(canvas_l, canvas_r);
    _matcher->compute(_grey_l, _grey_r, _fixed);
    return to_float_map(_fixed, _matcher->getMinDisparity() * 16, 1.0f);
}

std::pair<cv::Mat, cv::Mat> ClassicStereoInferenceBase::compute_with_right_view(
    const cv::Mat& canvas_l, const cv::Mat& canvas_r) {
    prepare(canvas_l, canvas_r);
    if (!_right_matcher) _right_matcher = cv::ximgproc::createRightMatcher(_matcher);
    // Two matchers with their own buffers: the right view's on a thread of
    // its own, beside this one. It searches the other way, so its
    // disparities are negative.
    std::exception_ptr right_failed;
    std::thread right([&] {
        try {
            _right_matcher->compute(_grey_r, _grey_l, _right_fixed);
        } catch (...) {
            right_failed = std::current_exception();
        }
    });
    try {
        _matcher->compute(_grey_l, _grey_r, _fixed);
    } catch (...) {
        right.join();
        throw;
    }
    right.join();
    if (right_failed) std::rethrow_exception(right_failed);
    return {to_float_map(_fixed, _matcher->getMinDisparity() * 16, 1.0f),
            to_float_map(_right_fixed, _right_matcher->getMinDisparity() * 16, -1.0f)};
}

cv::Mat ClassicStereoInferenceBase::to_float_map(const cv::Mat& fixed, int min_fixed, float sign) {
    // Fixed point with 4 fractional bits; anything below the matcher's minimum
    // disparity marks a pixel without a match.
    cv::Mat disparity;
    fixed.convertTo(disparity, CV_32F, sign / 16.0);
    disparity.setTo(invalid_value(), fixed < min_fixed);
    return disparity;
}

InferenceFuturePtr ClassicStereoInferenceBase::submit(const std::vector<cv::Mat>& blobs) {
    if (blobs.size() != 2) {
        throw std::invalid_argument(fmt::format("submit expected 2 blobs; got {}", blobs.size()));
    }
    auto future = std::make_shared<EventFuture>();
    try {
        future->set_result(compute(blobs[0], blobs[1]));
    } catch (...) {
        future->set_error(std::current_exception());
    }
    return future;
}

cv::Mat ClassicStereoInferenceBase::postprocess(const cv::Mat& raw_output,
                                                const CanvasLayout& layout) {
    return crop_to_valid(raw_output, layout);
}

cv::Mat crop_to_valid(const cv::Mat& map, const CanvasLayout& layout) {
    const int x0 = std::clamp(layout.pad_x, 0, map.cols);
    const int y0 = std::clamp(layout.pad_y, 0, map.rows);
    const int x1 = std::clamp(layout.pad_x + layout.valid_w, x0, map.cols);
    const int y1 = std::clamp(layout.pad_y + layout.valid_h, y0, map.rows);
    cv::Mat crop = map(cv::Range(y0, y1), cv::Range(x0, x1));
    cv::Mat out;
    if (crop.depth() == CV_32F) {
        out = crop.clone();
    } else {
        crop.convertTo(out, CV_32F);
    }
    return out;
}

namespace detail {

Json classical_selector_meta(const ClassicalMeta& m) {
    Json meta;
    meta["task"] = "stereo";
    meta["speed_tier"] = m.speed_tier;
    meta["accuracy_tier"] = m.accuracy_tier;
    meta["min_engine_class"] = "cpu";
    meta["recommended_engine_class"] = "cpu";
    meta["size_mb"] = 0.0;
    meta["params_m"] = 0.0;
    meta["published_fps"] = Json::object();
    meta["accuracy_metric"] = m.accuracy_metric;
    meta["summary"] = m.summary;
    meta["tags"] = m.tags;
    meta["neural"] = false;
    meta["wizard_visible"] = m.wizard_visible;
    meta["license"] = "Apache-2.0";
    meta["license_url"] = m.license_url;
    return meta;
}

HeightWidth canvas_size_kwarg(const InferenceVariant& variant, const char* backend) {
    const auto it = variant.inference_kwargs.find("canvas_size");
    if (it == variant.inference_kwargs.end() || !it->is_array() || it->size() != 2 ||
        !(*it)[0].is_number_integer() || !(*it)[1].is_number_integer()) {
        throw std::invalid_argument(fmt::format(
            "variant '{}' of {} needs inference_kwargs {{\"canvas_size\": [height, width]}}",
            variant.slug, backend));
    }
    return {(*it)[0].get<int>(), (*it)[1].get<int>()};
}

std::vector<InferenceVariant> canvas_size_variants(std::array<Json, 3> selector_metas) {
    struct Size {
        const char* slug;
        const char* label;
        HeightWidth size;
    };
    static constexpr std::array<Size, 3> SIZES{{
        {"256x512", "256\u00d7512 (fast)", {256, 512}},
        {"360x640", "360\u00d7640 (balanced)", {360, 640}},
        {"480x720", "480\u00d7720 (detailed)", {480, 720}},
    }};
    std::vector<InferenceVariant> variants;
    variants.reserve(SIZES.size());
    for (std::size_t i = 0; i < SIZES.size(); ++i) {
        const auto& [slug, label, size] = SIZES[i];
        InferenceVariant v;
        v.slug = slug;
        v.label = label;
        v.inference_kwargs = Json::object();
        v.inference_kwargs["canvas_size"] = Json::array({size.height, size.width});
        v.configurations = Json::object();
        v.configurations["input_size"] = Json::array({size.height, size.width});
        v.configurations["selector_meta"] = std::move(selector_metas[i]);
        variants.push_back(std::move(v));
    }
    return variants;
}

}  // namespace detail

}  // namespace kelvo
