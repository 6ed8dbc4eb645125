// One script of steps, seeks, playing, loops and end of file run through both
// replay modes; every frame delivered is checked against a model of the
// position over the frame index, so the two modes cannot drift apart.
#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <variant>

#include <gtest/gtest.h>

#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_timed_recording.hpp"

namespace kelvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Irregular spacing on purpose: steps and seeks use the index, never a rate.
const std::vector<std::int64_t> TIMES_MS = {0, 10, 20, 35, 40, 52, 60, 75, 80, 95, 100, 118};
const std::int64_t FRAMES = static_cast<std::int64_t>(TIMES_MS.size());

struct StepForward {};
struct StepBackward {};
struct SeekUs {
    std::int64_t pts_us;
};
struct Play {
    int frames;
};
struct PlayToEnd {};
using Op = std::variant<StepForward, StepBackward, SeekUs, Play, PlayToEnd>;

/// Where the replay stands, over the frame index: the last frame shown and
/// the next one a pass reads.
struct Model {
    bool loop = false;
    std::int64_t current = -1;
    std::int64_t next = 0;

    std::optional<std::int64_t> show(std::int64_t idx) {
        current = idx;
        next = idx + 1;
        return idx;
    }
    /// The one frame a reposition on a paused source shows (absent: no change).
    std::optional<std::int64_t> reposition(const Op& op) {
        if (std::holds_alternative<StepForward>(op)) {
            if (current + 1 >= FRAMES) return std::nullopt;
            return show(current + 1);
        }
        if (std::holds_alternative<StepBackward>(op)) {
            if (current <= 0) return std::nullopt;
            return show(current - 1);
        }
        const std::int64_t target_ms =
            std::max<std::int64_t>(0, std::get<SeekUs>(op).pts_us) / 1000;
        std::int64_t idx = 0;
        for (std::int64_t i = 0; i < FRAMES; ++i) {
            if (TIMES_MS[static_cast<std::size_t>(i)] <= target_ms) idx = i;
        }
        return show(idx);
    }
    /// The frames playing shows, at most `frames` of them (-1: to the end).
    std::vector<std::int64_t> play(int frames) {
        std::vector<std::int64_t> out;
        while (frames < 0 || static_cast<int>(out.size()) < frames) {
            if (next >= FRAMES) {
                if (!loop) break;
                next = 0;
            }
            out.push_back(*show(next));
        }
        return out;
    }
};

/// Drives one replay mode; the source is paused between operations.
class Driver {
  public:
    Driver(const std::filesystem::path& path, const std::string& mode, bool loop)
        : _realtime(mode == "realtime"),
          _replay(path, {.replay_mode = mode, .loop = loop, .build_frame_index = true}) {
        _replay.add_fanout(make_frame_callback([this](const FramePtr& f) { on_pumped(f); }));
        _replay.pause();  // before open: not even the first frame passes
        _replay.open();
    }
    /// The pump calls back into this object: stop it before the members go.
    ~Driver() { _replay.close(); }
    MkvReplay& replay() { return _replay; }

    /// The frames a reposition shows on the paused source (one, or none).
    std::vector<FramePtr> after_reposition() {
        std::vector<FramePtr> out;
        if (FramePtr f = _replay.grab(_realtime ? 0.5 : 1.0)) out.push_back(f);
        if (FramePtr extra = _replay.grab(_realtime ? 0.15 : 1.0)) out.push_back(extra);
        return out;
    }

    /// Resumes for `frames` frames (-1: until the end), then pauses again.
    std::vector<FramePtr> play(int frames) {
        std::vector<FramePtr> out;
        if (!_realtime) {
            _replay.resume();
            while (frames < 0 || static_cast<int>(out.size()) < frames) {
                FramePtr f = _replay.grab();
                if (!f) break;
                out.push_back(f);
            }
            _replay.pause();
            return out;
        }
        {
            std::lock_guard lock(_mutex);
            _pumped.clear();
            _collecting = true;
            _pause_after = frames;
        }
        _replay.resume();
        const auto t0 = Clock::now();
        while (Clock::now() - t0 < 10s) {
            {
                std::lock_guard lock(_mutex);
                if (frames >= 0 && static_cast<int>(_pumped.size()) >= frames) break;
            }
            if (frames < 0 && _replay.at_end()) break;
            std::this_thread::sleep_for(2ms);
        }
        _replay.pause();
        _replay.grab(0.0);  // the last frame played, still in the slot
        std::lock_guard lock(_mutex);
        _collecting = false;
        return std::exchange(_pumped, {});
    }

  private:
    void on_pumped(const FramePtr& f) {
        std::lock_guard lock(_mutex);
        if (!_collecting) return;
        _pumped.push_back(f);
        // Pausing on the pump thread, before the next frame is read, stops
        // playing after exactly this frame.
        if (static_cast<int>(_pumped.size()) == _pause_after) _replay.pause();
    }

    bool _realtime;
    MkvReplay _replay;
    std::mutex _mutex;
    std::vector<FramePtr> _pumped;
    bool _collecting = false;
    int _pause_after = -1;  ///< -1: play to the end
};

struct Script {
    const char* name;
    bool loop;
    std::vector<Op> ops;
};

const Script SCRIPTS[] = {
    {"steps_seeks_and_play",
     false,
     {StepForward{}, StepForward{}, StepForward{}, StepBackward{}, SeekUs{75'000}, StepBackward{},
      SeekUs{36'000}, Play{4}, StepForward{}, PlayToEnd{}, StepBackward{}, StepBackward{},
      StepForward{}}},
    {"edges",
     false,
     {StepBackward{}, StepForward{}, StepBackward{}, SeekUs{118'000}, StepForward{}, PlayToEnd{},
      SeekUs{-5'000}, StepBackward{}, Play{2}}},
    {"loop", true, {SeekUs{100'000}, Play{4}, StepBackward{}, SeekUs{118'000}, Play{3}}},
};

class MkvReplayModel : public ::testing::TestWithParam<std::tuple<std::string, Script>> {};

TEST_P(MkvReplayModel, EveryFrameDeliveredIsTheOneTheModelExpects) {
    const auto& [mode, script] = GetParam();
    testing::TempDir dir("mkv_model");
    const auto path = testing::write_timed_recording(dir / "model.mkv", TIMES_MS);
    Driver driver(path, mode, script.loop);
    const auto index = driver.replay().frame_index();
    ASSERT_EQ(index.size(), TIMES_MS.size());
    Model model{.loop = script.loop};
    std::int64_t last_sequence = 0;
    for (std::size_t step = 0; step < script.ops.size(); ++step) {
        const Op& op = script.ops[step];
        std::vector<std::int64_t> expected;
        std::vector<FramePtr> got;
        bool to_end = false;
        if (const auto* play = std::get_if<Play>(&op)) {
            expected = model.play(play->frames);
            got = driver.play(play->frames);
        } else if (std::holds_alternative<PlayToEnd>(op)) {
            expected = model.play(-1);
            got = driver.play(-1);
            to_end = true;
        } else {
            if (auto idx = model.reposition(op)) expected.push_back(*idx);
            if (std::holds_alternative<StepForward>(op)) {
                driver.replay().step_one_forward();
            } else if (std::holds_alternative<StepBackward>(op)) {
                driver.replay().step_one_backward();
            } else {
                driver.replay().seek_relative_us(std::get<SeekUs>(op).pts_us);
            }
            got = driver.after_reposition();
        }
        std::vector<std::int64_t> got_idx;
        for (const auto& f : got) {
            got_idx.push_back(f->source_frame_idx.value_or(-1));
            if (f->source_frame_idx) {
                EXPECT_EQ(f->pts_us, index.at(*f->source_frame_idx));
            }
            EXPECT_GT(f->sequence, last_sequence) << "operation " << step;
            last_sequence = f->sequence;
        }
        ASSERT_EQ(got_idx, expected) << "operation " << step << " of " << script.name;
        if (to_end && !script.loop) {
            EXPECT_TRUE(driver.replay().at_end()) << "operation " << step;
        } else if (!to_end) {
            EXPECT_FALSE(driver.replay().at_end()) << "operation " << step;
        }
        if (model.current >= 0) {
            EXPECT_EQ(driver.replay().current_frame_idx(), model.current) << "operation " << step;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, MkvReplayModel,
                         ::testing::Combine(::testing::Values("every_frame", "realtime"),
                                            ::testing::ValuesIn(SCRIPTS)),
                         [](const auto& info) {
                             return std::get<0>(info.param) + "_" +
                                    std::string(std::get<1>(info.param).name);
                         });

}  // namespace
}  // namespace kelvo
