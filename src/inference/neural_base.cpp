// The neural bases: engine creation from a variant's model files, the
// network's input size, the hook order, and the monocular depth adjustment.
#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>

#include <fmt/format.h>

#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/base.hpp"

namespace kelvo {

namespace {

/// The network file of `variant` (its first model file; the variant names at
/// least one) with every further file of the variant (external weights)
/// beside it, where the runtime looks for them. A further file already beside
/// the network is used as it is; otherwise it is resolved by the model-file
/// lookup and linked (or copied) beside the network. Raises RuntimeError
/// naming the paths when a file is missing or cannot be placed.
std::filesystem::path resolve_network_with_companions(const InferenceVariant& variant) {
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

}  // namespace

NeuralInferenceBase::~NeuralInferenceBase() {
    try {
        shutdown();
    } catch (...) {
        // An engine's shutdown swallows its own errors; never throw from here.
    }
}

void NeuralInferenceBase::initialize(const InferenceVariant& variant,
                                     const InferenceCreateOptions& options,
                                     std::shared_ptr<InferenceEngine> engine) {
    if (_initialized) {
        throw RuntimeError(
            fmt::format("{} is already initialized (variant '{}')", class_label(), _variant.slug));
    }
    if (!engine) {
        if (variant.files_to_download.empty()) {
            throw RuntimeError(
                fmt::format("variant '{}' of {} names no model file", variant.slug, class_label()));
        }
        OpenVINORunnerOptions engine_options;
        engine_options.model_path = resolve_network_with_companions(variant);
        engine_options.device = options.device;
        engine_options.nireq = options.nireq;
        engine_options.do_models_cache = options.do_models_cache;
        engine_options.cache_dir = options.cache_dir;
        if (const auto size = class_input_size()) {
            engine_options.input_shape = std::vector<std::int64_t>{1, 3, size->height, size->width};
        }
        engine_options.output_name = class_output_name();
        engine = create_openvino_runner(engine_options);
    }

    // The canvas is built at the size the network actually takes: its
    // largest image input (a multi-scale export also takes smaller copies).
    std::optional<HeightWidth> size;
    for (const auto& shape : engine->input_shapes()) {
        if (shape[2] <= 0 || shape[3] <= 0) continue;
        if (!size || shape[2] * shape[3] > static_cast<std::int64_t>(size->height) * size->width) {
            size = HeightWidth{static_cast<int>(shape[2]), static_cast<int>(shape[3])};
        }
    }
    if (!size) size = class_input_size();
    if (!size) size = variant.input_size();
    if (!size) {
        throw RuntimeError(fmt::format("{}: the input size of variant '{}' is unknown",
                                       class_label(), variant.slug));
    }

    _variant = variant;
    _input_size = *size;
    _nireq = std::max(1, options.nireq);
    {
        MutexLock lock(_engine_mutex);
        _engine = std::move(engine);
    }
    _initialized = true;
    _init_extra_state();
}

HeightWidth NeuralInferenceBase::input_size() const {
    return _input_size;
}

std::string NeuralInferenceBase::label() const {
    return _variant.label.empty() ? class_label()
                                  : fmt::format("{} \u00b7 {}", class_label(), _variant.label);
}

std::shared_ptr<InferenceEngine> NeuralInferenceBase::engine() const {
    MutexLock lock(_engine_mutex);
    return _engine;
}

InferenceFuturePtr NeuralInferenceBase::submit(const std::vector<cv::Mat>& blobs) {
    const auto engine = this->engine();
    if (!engine) {
        throw RuntimeError(
            fmt::format("{} has no engine (not initialized or shut down)", class_label()));
    }
    return engine->submit(blobs);
}

void NeuralInferenceBase::shutdown() {
    std::shared_ptr<InferenceEngine> engine;
    {
        MutexLock lock(_engine_mutex);
        engine = std::exchange(_engine, nullptr);
    }
    if (engine) engine->shutdown();  // waits for runs in flight: not under the lock
}

namespace {
constexpr const char* DEPTH_SCALE = "depth_scale_milli";
constexpr const char* DEPTH_OFFSET = "depth_offset_mm";
}  // namespace

std::vector<IntControl> NeuralMonoInferenceBase::CONTROLS() {
    return {
        IntControl::number(DEPTH_SCALE, 1000, "Depth scale", 1, 100000, 1, "\u2030"),
        IntControl::number(DEPTH_OFFSET, 0, "Depth offset", -100000, 100000, 1, "mm"),
    };
}

NeuralMonoInferenceBase::NeuralMonoInferenceBase() {
    _controls.add(CONTROLS());
}

void NeuralMonoInferenceBase::set_intrinsics(double /*fx*/, double /*fy*/, double /*cx*/,
                                             double /*cy*/) {}

cv::Mat NeuralMonoInferenceBase::_apply_depth_affine(const cv::Mat& depth) const {
    const double scale = _controls.get(DEPTH_SCALE) / 1000.0;
    const double offset_m = _controls.get(DEPTH_OFFSET) / 1000.0;
    cv::Mat out;
    depth.convertTo(out, CV_32F, scale, offset_m);
    return out;
}

}  // namespace kelvo
