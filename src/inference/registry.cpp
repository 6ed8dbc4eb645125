#include "kelvo/inference/registry.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "core/elf_symbols.hpp"
#include "kelvo/errors.hpp"

namespace kelvo {
namespace {

constexpr const char* PLUGIN_SYMBOL = "kelvo_inference_plugin_abi";

/// A registration that failed while a library loaded, and that library.
struct LoadError {
    std::string library;
    std::string message;
};

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<const InferenceClass>> classes;
    std::vector<LoadError> load_errors;
};

/// The library a code address lies in, by its canonical path; empty when unknown.
std::string library_of(const void* address) {
    Dl_info info{};
    if (!dladdr(address, &info) || !info.dli_fname) return {};
    std::error_code ec;
    const auto path = std::filesystem::weakly_canonical(info.dli_fname, ec);
    return ec ? std::string(info.dli_fname) : path.string();
}

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

// Not inlined: the return address is the registrar's, in the library that loads.
[[gnu::noinline]] void register_inference_at_load(InferenceClass cls) noexcept {
    const void* caller = __builtin_return_address(0);
    try {
        register_inference(std::move(cls));
    } catch (const std::exception& e) {
        try {
            LoadError error{library_of(caller), e.what()};
            auto& r = registry();
            std::lock_guard lock(r.mutex);
            r.load_errors.push_back(std::move(error));
        } catch (...) {
        }
    } catch (...) {
        // Nothing else is thrown by registration; keep load-time code noexcept.
    }
}

std::vector<std::string> take_registration_errors() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> out;
    for (auto& e : r.load_errors) out.push_back(std::move(e.message));
    r.load_errors.clear();
    return out;
}

std::vector<std::string> take_registration_errors_of(const std::filesystem::path& library) {
    std::error_code ec;
    const auto wanted = std::filesystem::weakly_canonical(library, ec).string();
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> out;
    std::erase_if(r.load_errors, [&](LoadError& e) {
        if (e.library != wanted) return false;
        out.push_back(std::move(e.message));
        return true;
    });
    return out;
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
    std::vector<std::string> failures;
    for (const auto& file : files) {
        // Only plugins are loaded: another kit library (the engine, whose
        // runtime may be missing here) is not even opened.
        if (!detail::elf_defines_symbol(file, PLUGIN_SYMBOL)) continue;
        const auto before = registered_inferences();
        void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            failures.push_back(fmt::format("cannot load plugin {}: {}", file.string(), dlerror()));
            continue;
        }
        const auto errors = detail::take_registration_errors_of(file);
        std::vector<std::string> keys;
        for (const auto& c : registered_inferences()) {
            if (std::none_of(before.begin(), before.end(),
                             [&](const auto& b) { return b->key == c->key; })) {
                keys.push_back(c->key);
            }
        }
        using AbiFn = int (*)();
        auto abi = reinterpret_cast<AbiFn>(dlsym(handle, PLUGIN_SYMBOL));
        const int version = abi ? abi() : -1;
        if (version != INFERENCE_PLUGIN_ABI) {
            for (const auto& key : keys) detail::unregister_inference(key);
            dlclose(handle);  // drops only our reference: a library in use stays
            failures.push_back(fmt::format("plugin {} has interface version {}, expected {}",
                                           file.string(), version, INFERENCE_PLUGIN_ABI));
            continue;
        }
        for (const auto& error : errors) {
            failures.push_back(fmt::format("plugin {}: {}", file.string(), error));
        }
        // A library that registered something stays open for the life of the
        // process: the registry holds code from it.
        if (keys.empty()) dlclose(handle);
        added.insert(added.end(), keys.begin(), keys.end());
    }
    if (!failures.empty()) {
        std::string text;
        for (const auto& f : failures) text += (text.empty() ? "" : "; ") + f;
        throw RuntimeError(text);
    }
    return added;
}

}  // namespace kelvo
