// The CREStereo, Metric3D and Depth Anything back-ends as plugins: loaded by
// the registry's plugin loader (nothing links them here), each registers its
// key with its class attributes and variant table.
#include <gtest/gtest.h>

#include <algorithm>

#include "kelvo/inference/registry.hpp"

namespace {

TEST(NeuralBackendPlugins, LoadAndRegisterTheirKeys) {
    const auto keys = kelvo::load_inference_plugins(KELVO_PLUGIN_DIR);
    struct Expected {
        const char* key;
        const char* label;
        std::size_t variants;
        const char* first_slug;
    };
    const Expected expected[] = {
        {"crestereo-combined", "CREStereo Combined", 20, "iter2-240x320"},
        {"crestereo-initial", "CREStereo Initial", 15, "iter2-160x240"},
        {"metric3d-v2-vit-small", "Metric3D V2 (ViT-Small)", 1, "vit-small-504x504"},
        {"depth-anything-v2-small", "Depth Anything V2 Small", 1, "518x518"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.key);
        EXPECT_NE(std::find(keys.begin(), keys.end(), e.key), keys.end());
        const auto cls = kelvo::inference_class(e.key);
        EXPECT_EQ(cls->label, e.label);
        EXPECT_TRUE(cls->neural);
        const auto variants = cls->variants();
        ASSERT_EQ(variants.size(), e.variants);
        EXPECT_EQ(variants.front().slug, e.first_slug);
    }
    // Loading again finds nothing new and raises nothing.
    EXPECT_TRUE(kelvo::load_inference_plugins(KELVO_PLUGIN_DIR).empty());
}

}  // namespace
