#include <gtest/gtest.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"

namespace kelvo {
namespace {

InferenceClass dummy_class(const std::string& key) {
    InferenceClass cls;
    cls.key = key;
    cls.label = "Dummy";
    cls.neural = false;
    cls.variants = [] {
        InferenceVariant a{.slug = "a", .label = "A"};
        InferenceVariant b{.slug = "b", .label = "B"};
        return std::vector<InferenceVariant>{a, b};
    };
    return cls;
}

TEST(Registry, DuplicateKeysAreRefused) {
    register_inference(dummy_class("registry-test-dummy"));
    try {
        register_inference(dummy_class("registry-test-dummy"));
        FAIL() << "second registration accepted";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "inference key 'registry-test-dummy' is already registered");
    }
    const auto cls = inference_class("registry-test-dummy");
    EXPECT_EQ(cls->variant("").slug, "a");
    EXPECT_EQ(cls->variant("b").slug, "b");
    EXPECT_THROW(cls->variant("c"), std::invalid_argument);
    EXPECT_THROW(inference_class("no-such-backend"), std::invalid_argument);
}

TEST(Registry, PluginLoadedFromAFolderRegistersItsClassOnce) {
    const auto keys = load_inference_plugins(KELVO_TEST_PLUGIN_DIR);
    ASSERT_EQ(keys, std::vector<std::string>{"loader-test"});
    const auto cls = inference_class("loader-test");
    EXPECT_EQ(cls->label, "Loader test");
    EXPECT_FALSE(cls->neural);
    auto instance = cls->create(cls->variant(""), {});
    EXPECT_EQ(instance->label(), "loader-test");
    EXPECT_EQ(instance->input_size(), (HeightWidth{64, 64}));
    // Loading the same folder again finds the library already loaded: nothing new.
    EXPECT_TRUE(load_inference_plugins(KELVO_TEST_PLUGIN_DIR).empty());
    // A second registration of the plugin's key fails.
    EXPECT_THROW(register_inference(dummy_class("loader-test")), RuntimeError);
}

TEST(Registry, MissingPluginFolderIsAClearError) {
    EXPECT_THROW(load_inference_plugins("/nonexistent/kelvo/plugins"), RuntimeError);
}

}  // namespace
}  // namespace kelvo
