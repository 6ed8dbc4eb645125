// Part of kelvo_core: loads the OpenVINO engine library on first use, so the
// rest of the kit never depends on the OpenVINO runtime being installed.
#include <dlfcn.h>

#include <mutex>
#include <string>

#include "core/library_dir.hpp"
#include "engines/openvino/plugin_abi.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo {
namespace {

constexpr const char* NOT_INSTALLED = "openvino package not installed";

std::mutex g_mutex;
// Loaded entry points by library path; libraries stay loaded for the process.
std::vector<std::pair<std::string, detail::OpenVINORunnerEntry>> g_entries;

/// The entry point of `library`, or null with `why` filled in.
detail::OpenVINORunnerEntry load_entry(const std::string& library, std::string& why) {
    std::lock_guard lock(g_mutex);
    for (const auto& [name, entry] : g_entries) {
        if (name == library) return entry;
    }
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        why = error ? error : "dlopen failed";
        return nullptr;
    }
    auto entry =
        reinterpret_cast<detail::OpenVINORunnerEntry>(dlsym(handle, detail::OPENVINO_RUNNER_ENTRY));
    if (entry == nullptr) {
        why = library + " has no " + detail::OPENVINO_RUNNER_ENTRY;
        dlclose(handle);
        return nullptr;
    }
    g_entries.emplace_back(library, entry);
    return entry;
}

/// Beside libkelvo_core.so first, then by name through the loader's search;
/// the versioned name first, as run-time installs carry only that one.
detail::OpenVINORunnerEntry find_default_entry(std::string& why) {
    const std::string names[] = {std::string(detail::OPENVINO_RUNNER_LIBRARY) + ".0",
                                 detail::OPENVINO_RUNNER_LIBRARY};
    const auto dir = detail::core_library_dir();
    if (!dir.empty()) {
        for (const auto& name : names) {
            const auto beside = dir / name;
            if (std::filesystem::exists(beside)) {
                // Present but unloadable means the runtime is missing.
                return load_entry(beside.string(), why);
            }
        }
    }
    for (const auto& name : names) {
        if (auto entry = load_entry(name, why)) return entry;
    }
    return nullptr;
}

std::shared_ptr<InferenceEngine> create_with(detail::OpenVINORunnerEntry entry,
                                             const std::string& why,
                                             const OpenVINORunnerOptions& options) {
    if (entry == nullptr) {
        log_printf(*get_logger("kelvo_camera_sdk.openvino_runner"), spdlog::level::debug,
                   "OpenVINO engine unavailable: %s", why);
        throw RuntimeError(NOT_INSTALLED);
    }
    std::shared_ptr<InferenceEngine> engine;
    entry(&options, &engine);
    return engine;
}

}  // namespace

std::shared_ptr<InferenceEngine> create_openvino_runner(const OpenVINORunnerOptions& options) {
    std::string why;
    auto entry = find_default_entry(why);
    return create_with(entry, why, options);
}

bool openvino_runner_available() {
    std::string why;
    return find_default_entry(why) != nullptr;
}

namespace detail {
std::shared_ptr<InferenceEngine> create_openvino_runner_from(const std::filesystem::path& library,
                                                             const OpenVINORunnerOptions& options) {
    std::string why;
    auto entry = load_entry(library.string(), why);
    return create_with(entry, why, options);
}
}  // namespace detail

}  // namespace kelvo
