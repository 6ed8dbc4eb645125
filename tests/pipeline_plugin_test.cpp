// The two classical back-ends loaded as plugins (dlopen) rather than linked,
// then used by a pipeline through the registry.
#include <gtest/gtest.h>

#include <algorithm>

#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace {

TEST(PipelinePlugins, LoadedBackEndsRegisterAndRun) {
    kelvo::testing::TempDir dir("plugins");
    for (const auto& entry : std::filesystem::directory_iterator(KELVO_PLUGIN_DIR)) {
        const auto name = entry.path().filename().string();
        if (name.rfind("libkelvo_stereo_bm.so", 0) == 0 ||
            name.rfind("libkelvo_rectify_passthrough.so", 0) == 0) {
            std::filesystem::copy_file(entry.path(), dir / name);
        }
    }
    EXPECT_THROW(kelvo::inference_class("stereo-bm"), std::invalid_argument);
    auto keys = kelvo::load_inference_plugins(dir.path());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"rectify-passthrough", "stereo-bm"}));
    const auto cls = kelvo::inference_class("stereo-bm");
    EXPECT_EQ(cls->variants().size(), 3u);
    EXPECT_EQ(cls->controls.size(), 11u);

    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto frame = kelvo::detail::render_synthetic_frame(scene, 0);
    auto source = std::make_shared<kelvo::testing::MemorySource>(
        std::vector<std::vector<std::uint8_t>>{kelvo::testing::encode_jpeg(frame.side_by_side)},
        1280, 360, kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene)));
    kelvo::Pipeline pipeline({.source = source,
                              .controls = kelvo::testing::CHAIN_OFF,
                              .block_when_full = true,
                              .stop_at_end = true});
    pipeline.start();
    const auto packet = pipeline.get_packet(30.0);
    ASSERT_TRUE(packet);
    const auto score =
        kelvo::detail::score_disparity(packet->disparity, frame.disparity, frame.visible);
    EXPECT_LT(score.end_point_error, 0.6);
    EXPECT_GT(score.valid_share, 0.7);
    // Loading the folder again finds the libraries already loaded: nothing registers twice.
    EXPECT_TRUE(kelvo::load_inference_plugins(dir.path()).empty());
    EXPECT_EQ(kelvo::registered_inferences().size(), 2u);
}

}  // namespace
