#include "kelvo/inference/registry.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "kelvo/errors.hpp"

namespace kelvo {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<const InferenceClass>> classes;
    std::vector<std::string> load_errors;
};

Registry& registry() {
    static Registry r;
    return r;
}

std::string known_keys(const Registry& r) {
    std::string keys;
    for (const auto& c : r.classes) keys += (keys.empty() ? "" : ", ") + c->key;
    return keys.empty() ? "(none)" : keys;
}

}  // namespace

InferenceVariant InferenceClass::variant(const std::string& slug) const {
    const auto all = variants();
    if (slug.empty() && !all.empty()) return all.front();
    std::string slugs;
    for (const auto& v : all) {
        if (v.slug == slug) return v;
        slugs += (slugs.empty() ? "" : ", ") + v.slug;
    }
    throw std::invalid_argument(
        fmt::format("unknown variant '{}' of back-end '{}'; variants: {}", slug, key, slugs));
}

void register_inference(InferenceClass cls) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& existing : r.classes) {
        if (existing->key == cls.key) {
            throw RuntimeError(fmt::format("inference key '{}' is already registered", cls.key));
        }
    }
    r.classes.push_back(std::make_shared<const InferenceClass>(std::move(cls)));
}

std::vector<std::shared_ptr<const InferenceClass>> registered_inferences() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.classes;
}

std::shared_ptr<const InferenceClass> inference_class(const std::string& key) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& c : r.classes) {
        if (c->key == key) return c;
    }
    throw std::invalid_argument(
        fmt::format("unknown inference back-end '{}'; registered: {}", key, known_keys(r)));
}

namespace detail {

void register_inference_at_load(InferenceClass cls) noexcept {
    try {
        register_inference(std::move(cls));
    } catch (const std::exception& e) {
        auto& r = registry();
        std::lock_guard lock(r.mutex);
        r.load_errors.emplace_back(e.what());
    } catch (...) {
        // Nothing else is thrown by registration; keep load-time code noexcept.
    }
}

std::vector<std::string> take_registration_errors() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return std::exchange(r.load_errors, {});
}

void unregister_inference(const std::string& key) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.classes, [&](const auto& c) { return c->key == key; });
}

}  // namespace detail

std::vector<std::string> load_inference_plugins(const std::filesystem::path& dir) {
    if (!std::filesystem::is_directory(dir)) {
        throw RuntimeError(fmt::format("plugin folder {} does not exist", dir.string()));
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const auto name = entry.path().filename().string();
        if (entry.is_regular_file() && name.rfind("libkelvo_", 0) == 0 &&
            name.find(".so") != std::string::npos) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());

    std::vector<std::string> added;
    for (const auto& file : files) {
        const auto before = registered_inferences();
        void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            throw RuntimeError(fmt::format("cannot load plugin {}: {}", file.string(), dlerror()));
        }
        auto errors = detail::take_registration_errors();
        auto after = registered_inferences();
        std::vector<std::string> keys;
        for (const auto& c : after) {
            if (std::none_of(before.begin(), before.end(),
                             [&](const auto& b) { return b->key == c->key; })) {
                keys.push_back(c->key);
            }
        }
        using AbiFn = int (*)();
        auto abi = reinterpret_cast<AbiFn>(dlsym(handle, "kelvo_inference_plugin_abi"));
        const int version = abi ? abi() : -1;
        if (version != INFERENCE_PLUGIN_ABI) {
            for (const auto& key : keys) detail::unregister_inference(key);
            // dlclose only drops our reference: a library already in use stays.
            dlclose(handle);
            if (!abi) continue;  // a kit library that is not a back-end plugin
            throw RuntimeError(fmt::format("plugin {} has interface version {}, expected {}",
                                           file.string(), version, INFERENCE_PLUGIN_ABI));
        }
        if (!errors.empty()) {
            throw RuntimeError(fmt::format("plugin {}: {}", file.string(), errors.front()));
        }
        // The handle stays open for the life of the process: the registry
        // holds code from it.
        added.insert(added.end(), keys.begin(), keys.end());
    }
    return added;
}

}  // namespace kelvo
