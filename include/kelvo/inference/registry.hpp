// The inference registry: back-end classes under their keys, registered when
// their library loads, and the loader for back-end plugins.
#pragma once

#include <concepts>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/inference/base.hpp"

namespace kelvo {

/// A registered back-end class.
struct KELVO_API InferenceClass {
    std::string key;
    std::string label;
    bool neural = true;
    /// The class's `KIND` (stereo unless it says otherwise) when registered
    /// with KELVO_REGISTER_INFERENCE; absent in a class a host registers by
    /// hand without saying, whose instances then tell.
    std::optional<InferenceKind> kind;
    std::function<std::vector<InferenceVariant>()> variants;
    std::function<std::unique_ptr<DepthInferenceBase>(const InferenceVariant&,
                                                      const InferenceCreateOptions&)>
        create;
    std::vector<IntControl> controls;  ///< the class's control descriptors

    /// The variant with `slug`, or the first when `slug` is empty;
    /// std::invalid_argument listing the valid slugs otherwise.
    InferenceVariant variant(const std::string& slug) const;
};

/// Records `cls` under its key; RuntimeError when the key is taken.
KELVO_API void register_inference(InferenceClass cls);
/// Registered classes in registration order.
KELVO_API std::vector<std::shared_ptr<const InferenceClass>> registered_inferences();
/// The class under `key`; std::invalid_argument listing the known keys otherwise.
KELVO_API std::shared_ptr<const InferenceClass> inference_class(const std::string& key);

/// Loads every back-end plugin (`libkelvo_*.so` exporting the plugin symbol)
/// found in `dir`; returns the keys they registered. Other libraries are
/// skipped without being loaded. Every plugin is tried; then, if any failed to
/// load or to register (a taken key), RuntimeError names each such plugin and
/// its reason (the others stay registered).
KELVO_API std::vector<std::string> load_inference_plugins(const std::filesystem::path& dir);

/// Plugin interface version checked by the loader.
inline constexpr int INFERENCE_PLUGIN_ABI = 1;

namespace detail {
/// Registration from a static registrar: never throws (a throw there would
/// abort the process); a failure is kept for the loader to report.
KELVO_API void register_inference_at_load(InferenceClass cls) noexcept;
KELVO_API std::vector<std::string> take_registration_errors();
/// The registration errors of the library at `library` only.
KELVO_API std::vector<std::string> take_registration_errors_of(
    const std::filesystem::path& library);
KELVO_API void unregister_inference(const std::string& key);

template <typename T>
concept HasNeuralFlag = requires {
    T::NEURAL;
};
template <typename T>
concept HasKind = requires {
    T::KIND;
};
template <typename T>
concept HasControls = requires {
    T::CONTROLS();
};

template <typename T>
concept HasRawCreate = requires(const InferenceVariant& v, const InferenceCreateOptions& o) {
    { T::create(v, o) } -> std::convertible_to<T*>;
};

/// An instance of `T` for a variant: a neural back-end is built and then
/// initialised (its network loaded); a classical one is built from the
/// variant alone.
template <typename T>
std::unique_ptr<DepthInferenceBase> build_inference(const InferenceVariant& variant,
                                                    const InferenceCreateOptions& options) {
    if constexpr (HasRawCreate<T>) {
        // Plugins written before the registry built back-ends hand one over.
        return std::unique_ptr<DepthInferenceBase>(T::create(variant, options));
    } else if constexpr (std::derived_from<T, NeuralInferenceBase>) {
        auto instance = std::make_unique<T>();
        instance->initialize(variant, options);
        return instance;
    } else {
        return std::make_unique<T>(variant);
    }
}

template <typename T>
InferenceClass make_inference_class(const char* key) {
    InferenceClass cls;
    cls.key = key;
    cls.label = T::LABEL;
    if constexpr (HasNeuralFlag<T>) {
        cls.neural = T::NEURAL;
    } else {
        cls.neural = true;
    }
    if constexpr (HasKind<T>) {
        cls.kind = T::KIND;
    } else {
        cls.kind = InferenceKind::stereo;
    }
    cls.variants = [] { return T::variants(); };
    cls.create = &build_inference<T>;
    if constexpr (HasControls<T>) cls.controls = T::CONTROLS();
    return cls;
}
}  // namespace detail

}  // namespace kelvo

#define KELVO_DETAIL_CAT2(a, b) a##b
#define KELVO_DETAIL_CAT(a, b) KELVO_DETAIL_CAT2(a, b)

/// Registers `Class` under `key` when the library loads and marks the library
/// as a back-end plugin. Use once per plugin library, at namespace scope.
#define KELVO_REGISTER_INFERENCE(Class, key)                        \
    extern "C" KELVO_API int kelvo_inference_plugin_abi() {         \
        return ::kelvo::INFERENCE_PLUGIN_ABI;                       \
    }                                                               \
    namespace {                                                     \
    const bool KELVO_DETAIL_CAT(kelvo_registered_, __LINE__) = [] { \
        ::kelvo::detail::register_inference_at_load(                \
            ::kelvo::detail::make_inference_class<Class>(key));     \
        return true;                                                \
    }();                                                            \
    }
