// Recording a recording in the viewer while stepping and seeking about, as
// `kelvo view` does it (the copy keeps the source's history): the copy holds
// the frames shown, in the order shown, each with the calibration and camera
// state the source had at that frame, also after a step or seek back.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/pipeline/history_recorder.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_session.hpp"
#include "viewer_http.hpp"

namespace kelvo {
namespace {

namespace fs = std::filesystem;
using History = std::vector<std::pair<std::int64_t, Json>>;

/// The entry of `history` in force at `pts_us` (the last one at or before it); null when none.
Json in_force(const History& history, std::int64_t pts_us) {
    Json out = nullptr;
    for (const auto& [pts, entry] : history) {
        if (pts <= pts_us) out = entry;
    }
    return out;
}

struct Replayed {
    std::vector<Payload> payloads;
    std::vector<std::int64_t> pts;
    History calibration, camera_state;
    CalibrationPtr base;
};

Replayed read_all(const fs::path& path) {
    MkvReplay replay(path, {.replay_mode = "every_frame"});
    replay.open();
    Replayed out;
    while (auto frame = replay.grab(1.0)) {
        out.payloads.push_back(frame->payload);
        out.pts.push_back(frame->pts_us);
    }
    out.calibration = replay.calibration_history();
    out.camera_state = replay.camera_state_history();
    out.base = replay.base_calibration();
    return out;
}

TEST(ViewerRecordingTest, SteppingBackWhileRecordingKeepsEachFramesHistory) {
    // 40 frames with a calibration update and a camera-state change at frame 20.
    const fs::path source_path = testing::demo_recording();
    const Replayed source = read_all(source_path);
    ASSERT_EQ(source.payloads.size(), 40u);
    ASSERT_FALSE(source.calibration.empty());

    testing::TempDir dir("viewer_recording");
    const fs::path copy_path = dir / "copy.mkv";
    auto replay = std::make_shared<MkvReplay>(source_path);
    ViewerSessionOptions options{.source = replay};
    options.recorder_factory = [replay](MkvRecorderOptions o) {
        return history_recorder_factory(ReplayHistory::of(*replay, o.fps.value_or(30.0)))(
            std::move(o));
    };
    options.hooks.recording_path = [copy_path] { return copy_path; };
    auto session = std::make_shared<ViewerSession>(std::move(options));
    session->start();
    session->playback({{"action", "pause"}});
    const auto shows = [&](std::int64_t frame) {
        for (int i = 0; i < 100; ++i) {
            if (session->state()["frame"] == frame) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    };
    session->playback({{"action", "seek"}, {"frame", 24}});
    ASSERT_TRUE(shows(24));
    session->record("start");
    // Forward past the update, back before it, forward across it again.
    const struct {
        const char* action;
        int frame;
    } moves[] = {{"step_forward", 25}, {"step_forward", 26}, {"seek", 10},
                 {"step_forward", 11}, {"step_back", 10},    {"seek", 30}};
    std::vector<int> shown;
    for (const auto& m : moves) {
        SCOPED_TRACE(m.action);
        Json command{{"action", m.action}};
        if (std::string(m.action) == "seek") command["frame"] = m.frame;
        session->playback(command);
        ASSERT_TRUE(shows(m.frame));
        shown.push_back(m.frame);
    }
    const Json finished = session->record("stop");
    session->stop();
    EXPECT_EQ(finished["last_recording"]["frames_written"], shown.size());

    const Replayed copy = read_all(copy_path);
    ASSERT_EQ(copy.payloads.size(), shown.size());
    const auto base = source.base->to_dict();
    for (std::size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE(::testing::Message() << "copy frame " << i << " = source frame " << shown[i]);
        const auto at = static_cast<std::size_t>(shown[i]);
        EXPECT_TRUE(copy.payloads[i] == source.payloads[at]);
        if (i > 0) {
            EXPECT_GT(copy.pts[i], copy.pts[i - 1]);
        }
        // Before any update the base calibration holds; in the copy, either
        // no update yet or one that restores it.
        const Json want_calibration = in_force(source.calibration, source.pts[at]);
        const Json got_calibration = in_force(copy.calibration, copy.pts[i]);
        EXPECT_EQ(got_calibration.is_null() ? Json(base) : got_calibration,
                  want_calibration.is_null() ? Json(base) : want_calibration);
        const Json want_state = in_force(source.camera_state, source.pts[at]);
        const Json got_state = in_force(copy.camera_state, copy.pts[i]);
        EXPECT_EQ(got_state.is_null() ? Json::object() : got_state,
                  want_state.is_null() ? Json::object() : want_state);
    }
}

}  // namespace
}  // namespace kelvo
