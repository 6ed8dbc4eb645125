// The OpenVINO engine: compiles one exported network for one device and runs
// it asynchronously on a small pool of inference requests.
//
// The engine itself lives in its own library, libkelvo_openvino_runner.so,
// which links the OpenVINO runtime; kelvo_core loads it on first use, so a
// host without the runtime still loads every other library of the kit and
// only asking for this engine fails ("openvino package not installed").
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvo/engines/base.hpp"
#include "kelvo/export.hpp"

namespace kelvo {

/// Construction parameters of the OpenVINO engine.
struct OpenVINORunnerOptions {
    /// Network file, any format the runtime reads (the back-ends ship ONNX).
    std::filesystem::path model_path;
    /// Runtime device name, case-insensitive ("cpu" is used as "CPU").
    std::string device = "CPU";
    /// Parallel inference requests; raised to 1 if lower.
    int nireq = 2;
    /// Keep compiled networks in `<cache root>/openvino` on disk.
    bool do_models_cache = true;
    /// Reshapes the model's only input before compilation.
    std::optional<std::vector<std::int64_t>> input_shape;
    /// The output returned by runs; the model's first output when absent.
    std::optional<std::string> output_name;
    /// Cache root ("~" expanded); `get_cache_dir()` when absent or empty.
    std::optional<std::filesystem::path> cache_dir;
};

/// Creates an OpenVINORunner ("Stereo OpenVINO backend with async InferQueue.").
///
/// Construction reads, optionally reshapes and compiles the model with the
/// latency hint; the engine is ready when this returns. `submit` returns an
/// EventFuture completed from the runtime's completion thread with an
/// independent copy of the selected output (an N-dimensional cv::Mat with the
/// tensor's dimensions; float16 stays CV_16F), or with the error met while
/// reading it. `submit` blocks while all `nireq` requests are busy.
/// `shutdown()` is idempotent and waits for the runs in flight; a later
/// `submit` raises RuntimeError.
///
/// Raises RuntimeError "openvino package not installed" when the engine
/// library or the OpenVINO runtime cannot be loaded, RuntimeError with the
/// documented messages for unsuitable models, and the runtime's own errors
/// from reading, reshaping and compiling.
KELVO_API std::shared_ptr<InferenceEngine> create_openvino_runner(
    const OpenVINORunnerOptions& options);

/// True when the engine library and the OpenVINO runtime can be loaded.
KELVO_API bool openvino_runner_available();

namespace detail {
/// The engine library's file name.
inline constexpr const char* OPENVINO_RUNNER_LIBRARY = "libkelvo_openvino_runner.so";
/// Creates the engine from the engine library at `library` (a path, or a bare
/// name for the loader's search); same failures as `create_openvino_runner`.
KELVO_API std::shared_ptr<InferenceEngine> create_openvino_runner_from(
    const std::filesystem::path& library, const OpenVINORunnerOptions& options);
}  // namespace detail

}  // namespace kelvo
