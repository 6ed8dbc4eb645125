// Runs a neural back-end through the frame pipeline on a few frames of the
// synthetic scene, its model files staged in a scratch cache directory.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/cache_dir.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace kelvo::testing {

/// A model file copied to `<cache>/models/<slug>/<name>`.
struct StagedModel {
    std::string slug;
    std::string name;
    std::filesystem::path from;
};

struct NeuralRun {
    std::vector<FramePacketPtr> packets;
    std::int64_t frames_failed = 0;
};

/// `frames` side-by-side 1280 x 360 frames of the synthetic scene, with its
/// calibration, through `backend` until the source ends.
inline NeuralRun run_neural_pipeline(const std::string& backend,
                                     const std::vector<StagedModel>& models, int frames,
                                     std::vector<std::pair<std::string, int>> controls = {}) {
    namespace fs = std::filesystem;
    TempDir cache("neural-pipeline-cache");
    set_cache_dir(cache.path());
    for (const auto& model : models) {
        fs::create_directories(cache.path() / "models" / model.slug);
        fs::copy_file(model.from, cache.path() / "models" / model.slug / model.name);
    }

    const auto scene = detail::default_synthetic_scene({360, 640});
    const auto calibration = Calibration::from_dict(detail::synthetic_calibration_dict(scene));
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < frames; ++i) {
        payloads.push_back(encode_jpeg(detail::render_synthetic_frame(scene, i).side_by_side));
    }
    PipelineOptions options;
    options.source = std::make_shared<MemorySource>(std::move(payloads), 1280, 360, calibration);
    options.backend = backend;
    options.controls = std::move(controls);
    options.engine.do_models_cache = false;
    options.stop_at_end = true;
    options.block_when_full = true;

    NeuralRun run;
    {
        Pipeline pipeline(std::move(options));
        pipeline.start();
        while (auto packet = pipeline.get_packet(60.0)) run.packets.push_back(packet);
        EXPECT_TRUE(pipeline.wait_finished(60.0));
        pipeline.stop();
        run.frames_failed = pipeline.stats().frames_failed;
    }
    set_cache_dir({});
    return run;
}

}  // namespace kelvo::testing
