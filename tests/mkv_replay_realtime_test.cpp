// The realtime replay: pump thread, pacing, fan-out and drop-to-latest, pause,
// seek and exact single steps while the pump runs, and close() at any time.
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/errors.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"
#include "mkv_timed_recording.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"
#include "support/log_capture.hpp"

namespace kelvo {
namespace mkv_replay_realtime_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::RecordingSpec;
using testing::TempDir;
constexpr const char* CHANNEL = "kelvo_camera_sdk.mkv_replay";

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

MkvReplayOptions realtime(bool loop = false) {
    return {.replay_mode = "realtime", .loop = loop, .build_frame_index = true};
}

/// Frames seen by a fan-out callback, with their arrival times.
struct Recorder {
    std::mutex mutex;
    std::vector<FramePtr> frames;
    std::vector<Clock::time_point> times;
    std::function<void(const FramePtr&)> hook;

    FrameCallbackPtr callback() {
        return make_frame_callback([this](const FramePtr& f) {
            std::function<void(const FramePtr&)> h;
            {
                std::lock_guard lock(mutex);
                frames.push_back(f);
                times.push_back(Clock::now());
                h = hook;
            }
            if (h) h(f);
        });
    }
    void set_hook(std::function<void(const FramePtr&)> h) {
        std::lock_guard lock(mutex);
        hook = std::move(h);
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return frames.size();
    }
    std::vector<std::int64_t> indices() {
        std::lock_guard lock(mutex);
        std::vector<std::int64_t> out;
        for (const auto& f : frames) out.push_back(f->source_frame_idx.value_or(-1));
        return out;
    }
    bool wait_for_size(std::size_t n, double seconds) {
        const auto t0 = Clock::now();
        while (size() < n) {
            if (seconds_since(t0) > seconds) return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }
};

class MkvRealtime : public ::testing::Test {
  protected:
    TempDir dir{"mkv_realtime"};
    std::filesystem::path recording(const std::string& name, int frames,
                                    const std::string& rate = "30") {
        RecordingSpec spec;
        spec.frames = frames;
        spec.rate = rate;
        return testing::make_recording(dir.path(), name, spec);
    }
};

bool pump_thread_named(const std::string& name) {
    DIR* d = opendir("/proc/self/task");
    if (!d) return false;
    bool found = false;
    while (dirent* e = readdir(d)) {
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string text;
        std::getline(comm, text);
        if (text == name) found = true;
    }
    closedir(d);
    return found;
}

TEST_F(MkvRealtime, FanoutSeesEveryFrameInOrderWhileGrabTakesTheNewest) {
    const auto path = recording("fan.mkv", 30, "60");
    MkvReplay replay(path, realtime());
    Recorder a, twice;
    std::atomic<int> raised{0};
    testing::LogCapture cap(CHANNEL);
    replay.add_fanout(a.callback());
    replay.add_fanout(make_frame_callback([&](const FramePtr&) {
        ++raised;
        throw std::runtime_error("callback fails");
    }));
    const auto dup = twice.callback();
    replay.add_fanout(dup);
    replay.add_fanout(dup);
    replay.remove_fanout(make_frame_callback([](const FramePtr&) {}));  // never added: ignored
    replay.open();
    std::vector<FramePtr> taken;
    const auto t0 = Clock::now();
    while (seconds_since(t0) < 5.0 && !replay.is_paused()) {
        std::this_thread::sleep_for(120ms);  // a slow consumer
        if (FramePtr f = replay.grab(0.01)) taken.push_back(f);
    }
    ASSERT_TRUE(a.wait_for_size(30, 5.0));
    EXPECT_TRUE(pump_thread_named("kelvo-mkv-pump"));
    std::vector<std::int64_t> expected(30);
    for (int i = 0; i < 30; ++i) expected[i] = i;
    EXPECT_EQ(a.indices(), expected);
    EXPECT_EQ(twice.size(), 60u);
    EXPECT_EQ(raised.load(), 30);
    EXPECT_EQ(cap.count("fanout callback raised (non-fatal)", spdlog::level::err), 30u);
    // The slow consumer saw a few frames, each the newest at that moment, in order.
    ASSERT_FALSE(taken.empty());
    EXPECT_LT(taken.size(), 30u);
    for (std::size_t i = 1; i < taken.size(); ++i) {
        EXPECT_GT(taken[i]->sequence, taken[i - 1]->sequence);
    }
    const auto [grabbed, dropped] = replay.get_pump_stats();
    EXPECT_EQ(grabbed, 30);
    const FramePtr left = replay.grab(0.01);
    EXPECT_EQ(grabbed - dropped, static_cast<std::int64_t>(taken.size() + (left ? 1 : 0)));
    EXPECT_EQ(replay.get_pump_stats(), (std::pair<std::int64_t, std::int64_t>{0, 0}));
    replay.close();
}

TEST_F(MkvRealtime, TwoFramesBeforeOneGrabCountAsOneDrop) {
    const auto path = recording("two.mkv", 2, "60");
    MkvReplay replay(path, realtime());
    Recorder r;
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(2, 5.0));
    std::this_thread::sleep_for(50ms);
    FramePtr f = replay.grab(1.0);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->source_frame_idx, 1);
    EXPECT_EQ(replay.get_pump_stats(), (std::pair<std::int64_t, std::int64_t>{2, 1}));
    EXPECT_EQ(replay.get_pump_stats(), (std::pair<std::int64_t, std::int64_t>{0, 0}));
}

TEST_F(MkvRealtime, PacingFollowsTheRecordedSpacing) {
    const auto path = recording("pace.mkv", 31, "30");
    MkvReplay replay(path, realtime());
    Recorder r;
    replay.add_fanout(r.callback());
    const auto t0 = Clock::now();
    replay.open();
    ASSERT_TRUE(r.wait_for_size(31, 10.0));
    std::lock_guard lock(r.mutex);
    const double first = std::chrono::duration<double>(r.times.front() - t0).count();
    const double span = std::chrono::duration<double>(r.times.back() - r.times.front()).count();
    const double recorded = (r.frames.back()->pts_us - r.frames.front()->pts_us) / 1e6;
    EXPECT_LT(first, 1.0);  // the first frame is not delayed beyond open()
    EXPECT_GT(span, recorded - 0.02);
    EXPECT_LT(span, recorded + 1.0);
}

TEST_F(MkvRealtime, LongGapIsBridgedInHalfSecondSleepsAndCloseCutsTheWaitShort) {
    std::vector<std::int64_t> times{0, 100};
    for (int k = 0; k < 10; ++k) times.push_back(3100 + 33 * k);
    const auto path = testing::write_timed_recording(dir / "gap.mkv", times);
    MkvReplay replay(path, realtime());
    Recorder r;
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(times.size(), 10.0));
    {
        std::lock_guard lock(r.mutex);
        auto at = [&](std::size_t i) {
            return std::chrono::duration<double>(r.times[i] - r.times[0]).count();
        };
        // Each frame after the gap waits at most 0.5 s until the wall clock
        // has caught up with the anchor; the rest follow the recorded spacing.
        EXPECT_GT(at(2) - at(1), 0.45);
        EXPECT_LT(at(2) - at(1), 1.5);
        EXPECT_GT(at(3) - at(2), 0.45);
        EXPECT_GT(at(times.size() - 1), times.back() / 1000.0 - 0.05);
        EXPECT_LT(at(times.size() - 1), times.back() / 1000.0 + 1.0);
    }
    replay.close();

    MkvReplay again(path, realtime());
    Recorder r2;
    again.add_fanout(r2.callback());
    again.open();
    ASSERT_TRUE(r2.wait_for_size(2, 5.0));
    std::this_thread::sleep_for(300ms);  // the pump now waits for the frame at 3.1 s
    const auto t0 = Clock::now();
    again.close();
    EXPECT_LT(seconds_since(t0), 1.5);
    EXPECT_EQ(r2.size(), 2u);
}

TEST_F(MkvRealtime, GrabTimesOutWhilePausedAndEmptiesTheSlotOnPause) {
    const auto path = recording("pause.mkv", 60, "30");
    MkvReplay replay(path, realtime());
    Recorder r;
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(3, 5.0));
    replay.pause();
    EXPECT_TRUE(replay.is_paused());
    std::this_thread::sleep_for(100ms);
    const std::size_t seen = r.size();
    const auto t0 = Clock::now();
    EXPECT_FALSE(replay.grab(0.2));  // the frame waiting at pause() is gone
    const double waited = seconds_since(t0);
    EXPECT_GT(waited, 0.15);
    EXPECT_LT(waited, 2.0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(r.size(), seen);

    // Resuming after a pause: the first frame at once, then the recorded spacing.
    replay.resume();
    ASSERT_TRUE(r.wait_for_size(seen + 6, 5.0));
    std::lock_guard lock(r.mutex);
    const double span = std::chrono::duration<double>(r.times[seen + 5] - r.times[seen]).count();
    EXPECT_GT(span, 0.12);  // 5 intervals of 33 ms, not a burst
}

TEST_F(MkvRealtime, PausedStepsDeliverExactlyOneFrameEach) {
    const auto path = recording("steps.mkv", 100, "30");
    MkvReplay replay(path, realtime());
    Recorder r;
    r.set_hook([&](const FramePtr& f) {
        if (f->source_frame_idx == 10) replay.pause();
    });
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(11, 5.0));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(r.size(), 11u);
    r.set_hook(nullptr);
    replay.step_one_forward();
    ASSERT_TRUE(r.wait_for_size(12, 5.0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(r.size(), 12u);
    EXPECT_EQ(r.indices().back(), 11);
    FramePtr f = replay.grab(1.0);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->source_frame_idx, 11);
    const auto index = replay.frame_index();
    for (int i = 10; i >= 0; --i) {
        replay.step_one_backward();
        f = replay.grab(2.0);
        ASSERT_TRUE(f) << i;
        EXPECT_EQ(f->source_frame_idx, i);
        EXPECT_EQ(f->pts_us, index[i]);
    }
    testing::LogCapture cap(CHANNEL);
    replay.step_one_backward();
    EXPECT_TRUE(cap.contains("step_one_backward: already at first frame", spdlog::level::debug));
    EXPECT_FALSE(replay.grab(0.3));
    EXPECT_EQ(r.size(), 23u);
}

TEST_F(MkvRealtime, SeekWhilePausedMovesCalibrationAndControlsAtOnce) {
    RecordingSpec spec;
    spec.frames = 90;
    spec.camera_info =
        Json({{"sku", testing::KNOWN_SKU}, {"base_calibration", testing::calibration_dict(400)}})
            .dump();
    spec.calibration = {{2000, testing::calibration_dict(600).dump()}};
    spec.camera_state = {{0, R"({"exposure": 10})"}, {2000, R"({"exposure": 20})"}};
    const auto path = testing::make_recording(dir.path(), "seekcal.mkv", spec);
    MkvReplay replay(path, realtime());
    Recorder r;
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(2, 5.0));
    replay.pause();
    std::this_thread::sleep_for(200ms);
    const std::size_t before = r.size();
    replay.seek_relative_us(2'500'000);
    EXPECT_DOUBLE_EQ(replay.active_calibration()->left().camera_matrix(0, 0), 600);
    std::optional<double> exposure;
    for (const auto& c : replay.list_camera_controls()) {
        if (c.name == "exposure") exposure = c.current_value;
    }
    EXPECT_EQ(exposure, 20.0);
    ASSERT_TRUE(r.wait_for_size(before + 1, 5.0));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(r.size(), before + 1);
    std::lock_guard lock(r.mutex);
    EXPECT_LE(r.frames.back()->pts_us, 2'500'000);
    EXPECT_GT(r.frames.back()->pts_us, 2'400'000);
}

TEST_F(MkvRealtime, EndOfFileParksUntilASeek) {
    const auto path = recording("park.mkv", 6, "60");
    MkvReplay replay(path, realtime());
    Recorder r;
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(6, 5.0));
    const auto t0 = Clock::now();
    while (!replay.is_paused() && seconds_since(t0) < 5.0) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(replay.is_paused());
    replay.grab(0.01);
    EXPECT_FALSE(replay.grab(0.2));
    EXPECT_TRUE(pump_thread_named("kelvo-mkv-pump"));
    replay.step_one_backward();  // from the last frame to the one before it
    ASSERT_TRUE(r.wait_for_size(7, 5.0));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(r.size(), 7u);
    EXPECT_EQ(r.indices().back(), 4);
    replay.seek_relative_us(0);
    ASSERT_TRUE(r.wait_for_size(8, 5.0));
    EXPECT_EQ(r.indices().back(), 0);
    replay.resume();
    ASSERT_TRUE(r.wait_for_size(13, 5.0));
    EXPECT_EQ(r.indices().back(), 5);
}

TEST_F(MkvRealtime, LoopGoesFromLastToFirstWithoutAPacingWait) {
    const auto path = recording("loop.mkv", 4, "10");
    MkvReplay replay(path, realtime(/*loop=*/true));
    Recorder r;
    replay.add_fanout(r.callback());
    replay.open();
    ASSERT_TRUE(r.wait_for_size(9, 5.0));
    replay.pause();
    const auto idx = r.indices();
    EXPECT_EQ(std::vector<std::int64_t>(idx.begin(), idx.begin() + 9),
              (std::vector<std::int64_t>{0, 1, 2, 3, 0, 1, 2, 3, 0}));
    std::lock_guard lock(r.mutex);
    for (std::size_t wrap : {4u, 8u}) {
        const double gap = std::chrono::duration<double>(r.times[wrap] - r.times[wrap - 1]).count();
        EXPECT_LT(gap, 0.06) << wrap;  // frames are 100 ms apart otherwise
        EXPECT_GT(r.frames[wrap]->sequence, r.frames[wrap - 1]->sequence);
    }
    const double inner = std::chrono::duration<double>(r.times[3] - r.times[2]).count();
    EXPECT_GT(inner, 0.08);
}

TEST_F(MkvRealtime, CloseReturnsWhileACallbackBlocksAndTheObjectMayDie) {
    const auto path = recording("block.mkv", 30, "60");
    auto release = std::make_shared<std::promise<void>>();
    auto released = release->get_future().share();
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto replay = std::make_unique<MkvReplay>(path, realtime());
    replay->add_fanout(make_frame_callback([released, calls](const FramePtr&) {
        ++*calls;
        released.wait();
    }));
    replay->open();
    const auto t0 = Clock::now();
    while (calls->load() == 0 && seconds_since(t0) < 5.0) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(calls->load(), 1);
    const auto c0 = Clock::now();
    replay->close();
    const double took = seconds_since(c0);
    EXPECT_GT(took, 1.5);
    EXPECT_LT(took, 4.0);
    replay.reset();  // destroyed while its pump still sits in the callback
    release->set_value();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls->load(), 1);  // the stopped pump dispatched nothing more
}

TEST_F(MkvRealtime, CloseFromInsideACallbackAndDestroyWithoutClose) {
    const auto path = recording("self.mkv", 30, "60");
    {
        MkvReplay replay(path, realtime());
        std::atomic<bool> closed{false};
        replay.add_fanout(make_frame_callback([&](const FramePtr& f) {
            if (f->sequence == 3) {
                replay.close();
                closed = true;
            }
        }));
        replay.open();
        const auto t0 = Clock::now();
        while (!closed && seconds_since(t0) < 5.0) std::this_thread::sleep_for(5ms);
        EXPECT_TRUE(closed.load());
        EXPECT_THROW(replay.grab(0.1), RuntimeError);
    }
    {
        MkvReplay replay(path, realtime(true));
        replay.open();
        EXPECT_TRUE(replay.grab(2.0));
    }  // destroyed while playing
}

}  // namespace mkv_replay_realtime_test
}  // namespace kelvo
