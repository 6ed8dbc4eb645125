// Seek, step, pause, resume, grab, fan-out registration and finally close,
// all at once from several threads against a running realtime replay.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/errors.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

TEST(MkvReplayStress, EverythingAtOnceThenClose) {
    testing::TempDir dir("mkv_stress");
    testing::RecordingSpec spec;
    spec.frames = 90;
    spec.rate = "60";
    spec.camera_info =
        Json({{"sku", testing::KNOWN_SKU}, {"base_calibration", testing::calibration_dict(400)}})
            .dump();
    for (int i = 0; i < 8; ++i) {
        spec.calibration.emplace_back(i * 180, testing::calibration_dict(500 + i).dump());
        spec.camera_state.emplace_back(i * 180, Json({{"exposure", 100 + i}}).dump());
    }
    const auto path = testing::make_recording(dir.path(), "stress.mkv", spec);

    for (const bool loop : {true, false}) {
        auto replay = std::make_shared<MkvReplay>(
            path, MkvReplayOptions{.replay_mode = "realtime", .loop = loop});
        replay->open();
        const std::int64_t frames = static_cast<std::int64_t>(replay->frame_index().size());
        std::atomic<bool> stop{false};
        std::atomic<long> delivered{0}, grabbed{0}, operations{0};
        // Runs `body` until stopped; after close() every call may fail with "MkvReplay not open".
        auto worker = [&](unsigned seed, auto body) {
            return std::thread([&, seed, body] {
                std::mt19937 rng(seed);
                while (!stop.load()) {
                    try {
                        body(rng);
                        ++operations;
                    } catch (const RuntimeError& e) {
                        EXPECT_STREQ(e.what(), "MkvReplay not open");
                    }
                }
            });
        };
        std::vector<std::thread> threads;
        threads.push_back(worker(1, [&](std::mt19937& rng) {
            replay->seek_relative_us(
                std::uniform_int_distribution<std::int64_t>(-100000, 1700000)(rng));
            std::this_thread::sleep_for(3ms);
        }));
        threads.push_back(worker(2, [&](std::mt19937& rng) {
            if (rng() % 2) {
                replay->step_one_forward();
            } else {
                replay->step_one_backward();
            }
            if (rng() % 7 == 0)
                replay->_seek_to_frame_idx(static_cast<std::int64_t>(rng() % frames));
            std::this_thread::sleep_for(2ms);
        }));
        threads.push_back(worker(3, [&](std::mt19937& rng) {
            if (rng() % 2) {
                replay->pause();
            } else {
                replay->resume();
            }
            std::this_thread::sleep_for(5ms);
        }));
        for (unsigned g = 0; g < 2; ++g) {
            threads.push_back(worker(4 + g, [&](std::mt19937&) {
                if (FramePtr f = replay->grab(0.02)) {
                    ++grabbed;
                    EXPECT_FALSE(f->payload.empty());
                }
            }));
        }
        threads.push_back(worker(6, [&](std::mt19937& rng) {
            auto cb = make_frame_callback([&](const FramePtr& f) {
                ++delivered;
                EXPECT_GT(f->sequence, 0);
            });
            replay->add_fanout(cb);
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 10));
            replay->remove_fanout(cb);
        }));
        threads.push_back(worker(7, [&](std::mt19937&) {
            const auto cal = replay->active_calibration();
            EXPECT_TRUE(cal);
            const auto controls = replay->list_camera_controls();
            EXPECT_FALSE(controls.empty());
            (void)replay->is_paused();
            (void)replay->get_pump_stats();
            (void)replay->current_frame_idx();
            std::this_thread::sleep_for(1ms);
        }));
        std::this_thread::sleep_for(3s);
        std::thread closer([&] { replay->close(); });
        const auto t0 = std::chrono::steady_clock::now();
        closer.join();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
        std::this_thread::sleep_for(100ms);
        stop = true;
        for (auto& t : threads) t.join();
        replay.reset();
        EXPECT_GT(operations.load(), 100);
        EXPECT_GT(delivered.load() + grabbed.load(), 0);
    }
}

}  // namespace
}  // namespace kelvo
