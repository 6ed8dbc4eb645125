// Interleavings of repositions with the realtime pump that timing alone
// rarely produces, forced through the pump's test seam.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_timed_recording.hpp"

namespace kelvo {
namespace mkv_replay_races_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::TempDir;

MkvReplayOptions realtime() {
    return {.replay_mode = "realtime", .loop = false, .build_frame_index = true};
}

std::vector<std::int64_t> evenly(int frames, std::int64_t spacing_ms) {
    std::vector<std::int64_t> out;
    for (int i = 0; i < frames; ++i) out.push_back(i * spacing_ms);
    return out;
}

TEST(MkvReplayRaces, AStepLandingWhileTheOldFrameIsConvertedShowsTheSteppedToFrame) {
    // Key auto-repeat in a viewer: the second step arrives while the pump
    // converts the first step's frame. That stale frame must neither reach the
    // slot nor move the position, so no frame is skipped by the next step.
    TempDir dir("mkv_races");
    const auto path = testing::write_timed_recording(dir / "steps.mkv", evenly(30, 33));
    // What the pump's hook uses outlives the replay (declared first, destroyed last).
    std::atomic<bool> armed{false};
    std::atomic<int> fired{0};
    MkvReplay replay(path, realtime());
    replay._set_pump_hook([&](std::string_view point) {
        if (point != "before_convert" || !armed.exchange(false)) return;
        replay.step_one_forward();
        fired.fetch_add(1);
    });
    replay.pause();
    replay.open();
    armed = true;
    replay._seek_to_frame_idx(5);
    const FramePtr shown = replay.grab(3.0);
    ASSERT_TRUE(shown);
    EXPECT_EQ(fired.load(), 1);
    EXPECT_EQ(shown->source_frame_idx, 6);
    EXPECT_EQ(replay.current_frame_idx(), 6);
    EXPECT_FALSE(replay.grab(0.2));  // still paused: nothing else comes
    replay.step_one_forward();
    const FramePtr next = replay.grab(3.0);
    ASSERT_TRUE(next);
    EXPECT_EQ(next->source_frame_idx, 7);
    replay.close();
}

TEST(MkvReplayRaces, ASeekEndsAPacingWaitAtOnce) {
    // Frames a second apart: the pump sleeps 0.5 s before the second one. A
    // seek made during that sleep must be shown without waiting for it.
    TempDir dir("mkv_races");
    const auto path = testing::write_timed_recording(dir / "slow.mkv", evenly(8, 1000));
    std::promise<void> pacing;
    std::atomic<int> paced{0};
    MkvReplay replay(path, realtime());
    replay._set_pump_hook([&](std::string_view point) {
        if (point == "before_pace" && paced.fetch_add(1) == 1) pacing.set_value();
    });
    replay.open();
    ASSERT_EQ(pacing.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(50ms);  // the pump is inside its 0.5 s wait now
    const auto t0 = Clock::now();
    replay.seek_relative_us(5'000'000);
    FramePtr frame = replay.grab(3.0);
    const double waited = std::chrono::duration<double>(Clock::now() - t0).count();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->source_frame_idx, 5);
    EXPECT_LT(waited, 0.25);
    replay.close();
}

TEST(MkvReplayRaces, ASeekAsThePumpReachesTheEndIsNotLostToParking) {
    // The seek lands between the pump's end of file and its parking: playback
    // goes on from the seek target instead of parking with the seek unseen.
    TempDir dir("mkv_races");
    const auto path = testing::write_timed_recording(dir / "end.mkv", evenly(5, 10));
    std::atomic<bool> first_end{true};
    std::mutex mutex;
    std::vector<std::int64_t> seen;
    MkvReplay replay(path, realtime());
    replay.add_fanout(make_frame_callback([&](const FramePtr& f) {
        std::lock_guard lock(mutex);
        seen.push_back(f->source_frame_idx.value_or(-1));
    }));
    replay._set_pump_hook([&](std::string_view point) {
        if (point == "end_of_pass" && first_end.exchange(false)) replay.seek_relative_us(0);
    });
    replay.open();
    const auto t0 = Clock::now();
    while (!replay.at_end() && Clock::now() - t0 < 5s) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(replay.at_end());
    replay.close();
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4}));
}

}  // namespace mkv_replay_races_test
}  // namespace kelvo
