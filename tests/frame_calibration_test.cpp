// What was in force for a frame travels with it: a source that has already
// moved on when a consumer looks (a pump running ahead of the worker) still
// gives every packet the calibration and camera state of its own frame, at
// every update of a recording with several.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/sources/forwarding_source.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"

namespace kelvo {
namespace {

constexpr int FRAMES = 24;

/// Hands out each frame of a replay only after it has grabbed the next, so
/// whoever asks for the active calibration after grab() always gets the
/// following frame's: the race a realtime pump makes at an update, made
/// certain.
class RunAheadSource final : public ForwardingSource {
  public:
    explicit RunAheadSource(std::shared_ptr<MkvReplay> replay) : ForwardingSource(replay) {}

    CameraInfo open() override {
        CameraInfo info = inner()->open();
        _ahead = inner()->grab(1.0);
        return info;
    }
    FramePtr grab(double timeout) override {
        if (!_ahead) _ahead = inner()->grab(timeout);
        FramePtr out = std::move(_ahead);
        if (out) _ahead = inner()->grab(timeout);
        return out;
    }
    bool at_end() const override { return !_ahead && inner()->at_end(); }
    bool is_seekable() const override { return false; }

  private:
    FramePtr _ahead;  ///< grabbing thread only
};

/// The value in force at `pts_us` of a history of (ms, value) entries.
template <typename T>
T in_force(const std::vector<std::pair<std::int64_t, T>>& history, std::int64_t pts_us) {
    T value = history.front().second;
    for (const auto& [ms, v] : history) {
        if (ms * 1000 <= pts_us) value = v;
    }
    return value;
}

struct Case {
    const char* mode;
    bool run_ahead;
};

class FrameCalibration : public ::testing::TestWithParam<Case> {};

TEST_P(FrameCalibration, EveryPacketHasItsOwnFramesCalibrationAndCameraState) {
    const testing::TempDir dir("frame_calibration");
    testing::RecordingSpec spec;
    spec.frames = FRAMES;
    // An update every five frames (frames are 33.3 ms apart), some between frames.
    const std::vector<std::pair<std::int64_t, double>> focal = {
        {0, 500.0}, {160, 600.0}, {330, 700.0}, {520, 800.0}};
    for (const auto& [ms, fx] : focal) {
        spec.calibration.emplace_back(ms, testing::calibration_dict(fx).dump());
    }
    const std::vector<std::pair<std::int64_t, int>> gain = {{0, 10}, {200, 20}, {400, 30}};
    for (const auto& [ms, g] : gain) {
        spec.camera_state.emplace_back(ms, Json{{"gain", g}}.dump());
    }
    spec.camera_info = Json{{"sku", testing::KNOWN_SKU}}.dump();
    const auto path = testing::make_recording(dir.path(), "several_updates.mkv", spec);

    auto replay =
        std::make_shared<MkvReplay>(path, MkvReplayOptions{.replay_mode = GetParam().mode});
    std::shared_ptr<FrameSource> source = replay;
    if (GetParam().run_ahead) source = std::make_shared<RunAheadSource>(replay);
    Pipeline pipeline({.source = source,
                       .backend = "rectify-passthrough",
                       .queue_size = 64,
                       .block_when_full = true,
                       .stop_at_end = true});
    pipeline.start();
    ASSERT_TRUE(pipeline.wait_finished(30.0));

    std::map<double, int> seen;  // focal length -> packets
    int packets = 0;
    while (FramePacketPtr p = pipeline.get_packet(0.0)) {
        ++packets;
        SCOPED_TRACE("packet at " + std::to_string(p->pts_us) + " us");
        ASSERT_TRUE(p->calibration);
        const double fx = p->calibration->to_dict()["left"]["camera_matrix"][0][0].get<double>();
        EXPECT_EQ(fx, in_force(focal, p->pts_us));
        ++seen[fx];
        ASSERT_TRUE(p->camera_state);
        EXPECT_EQ(p->camera_state->value("gain", -1), in_force(gain, p->pts_us));
    }
    EXPECT_GT(packets, 0);
    if (std::string(GetParam().mode) == "every_frame") {
        // Every frame came, so every calibration of the history was met.
        EXPECT_EQ(packets, FRAMES);
        EXPECT_EQ(seen.size(), focal.size());
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, FrameCalibration,
                         ::testing::Values(Case{"every_frame", false}, Case{"every_frame", true},
                                           Case{"realtime", false}, Case{"realtime", true}),
                         [](const auto& info) {
                             return std::string(info.param.mode) +
                                    (info.param.run_ahead ? "_run_ahead" : "");
                         });

}  // namespace
}  // namespace kelvo
