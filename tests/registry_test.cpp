#include <elf.h>

#include <cstddef>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "support/test_paths.hpp"

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

/// A copy of `from` at `to` with its program headers dropped: still an ELF
/// file with its symbol tables, but one that cannot be loaded.
void copy_unloadable(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::copy_file(from, to);
    std::fstream f(to, std::ios::in | std::ios::out | std::ios::binary);
    const std::uint16_t no_segments = 0;
    f.seekp(offsetof(Elf64_Ehdr, e_phnum));
    f.write(reinterpret_cast<const char*>(&no_segments), sizeof no_segments);
}

TEST(Registry, EveryPluginOfAFolderIsTriedAndEachFailureIsBlamedOnItsOwnLibrary) {
    load_inference_plugins(KELVO_TEST_PLUGIN_DIR);  // "loader-test" is taken from here on
    // A registration that failed earlier in another library (here, the test
    // program) is not blamed on the plugins loaded next.
    detail::register_inference_at_load(dummy_class("loader-test"));
    testing::TempDir dir("plugins");
    const std::filesystem::path plugin =
        std::filesystem::path(KELVO_TEST_PLUGIN_DIR) / "libkelvo_test_plugin.so";
    std::ofstream(dir / "libkelvo_aaa_text.so") << "not a library";
    std::filesystem::copy_file(plugin, dir / "libkelvo_bbb_same_key.so");
    copy_unloadable(plugin, dir / "libkelvo_ccc_unloadable.so");
    // Not a plugin: skipped without being opened, so its defect shows nowhere.
    copy_unloadable("/proc/self/exe", dir / "libkelvo_ddd_not_a_plugin.so");
    try {
        load_inference_plugins(dir.path());
        FAIL() << "failures went unreported";
    } catch (const RuntimeError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("libkelvo_bbb_same_key.so: inference key 'loader-test' is already "
                            "registered"),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find("cannot load plugin " + (dir / "libkelvo_ccc_unloadable.so").string()),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find("aaa"), std::string::npos) << text;
        EXPECT_EQ(text.find("ddd"), std::string::npos) << text;
    }
    EXPECT_EQ(detail::take_registration_errors(),
              std::vector<std::string>{"inference key 'loader-test' is already registered"});
}

TEST(Registry, MissingPluginFolderIsAClearError) {
    EXPECT_THROW(load_inference_plugins("/nonexistent/kelvo/plugins"), RuntimeError);
}

}  // namespace
}  // namespace kelvo
