// The entry point that libkelvo_openvino_runner.so offers to kelvo_core's
// loader. Both sides are built from the same sources with the same compiler,
// so C++ types cross it; the versioned name catches a stale library.
#pragma once

#include <memory>

#include "kelvo/engines/openvino_runner.hpp"

namespace kelvo::detail {

/// Bump when the options struct or the engine interface changes.
inline constexpr const char* OPENVINO_RUNNER_ENTRY = "kelvo_openvino_runner_create_v1";

/// Builds an engine into `*out`; throws what the constructor throws.
using OpenVINORunnerEntry = void (*)(const OpenVINORunnerOptions* options,
                                     std::shared_ptr<InferenceEngine>* out);

}  // namespace kelvo::detail
