// Everything a replay holds, shared by the source object and its pump thread
// (which keeps it alive, so a pump that outlives close() never touches freed
// memory). Private to the replay module.
//
// Lock order: `position_mutex`, then the demuxer's lock, then the slot's.
// Repositions hold all three in that order; the pump and the synchronous
// grab take one at a time. No lock is held while a fan-out callback runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "kelvo/sources/fanout_list.hpp"
#include "kelvo/sources/frame_slot.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/worker_thread.hpp"
#include "sources/mkv_replay/history_cursor.hpp"
#include "sources/mkv_replay/recording_contents.hpp"
#include "sources/mkv_replay/replay_demuxer.hpp"

namespace kelvo::detail {

/// Wakes the pump's waits early: on close(), a reposition, resume() or a
/// bypass armed while paused.
class PumpSignal {
  public:
    void request_stop() {
        _stop.store(true);
        notify();
    }
    bool stop_requested() const { return _stop.load(); }
    /// Call after changing what a waiter's `done` reads.
    void notify() {
        MutexLock lock(_mutex);
        _cv.notify_all();
    }
    /// Waits at most `seconds`, until `done()` or a stop request.
    template <typename Done>
    void wait_for(double seconds, Done done) {
        const auto deadline = CondVar::deadline_in(seconds);
        MutexLock lock(_mutex);
        while (!_stop.load() && !done()) {
            if (!_cv.wait_until(lock, deadline)) break;
        }
    }

  private:
    Mutex _mutex;
    CondVar _cv;
    std::atomic<bool> _stop{false};
};

struct MkvReplayState {
    static constexpr std::int64_t DISARMED = -1;
    static constexpr std::int64_t NO_ANCHOR = INT64_MIN;

    // Constant after construction.
    std::string path;
    bool realtime = true;
    bool build_frame_index = true;
    std::shared_ptr<spdlog::logger> logger;
    std::shared_ptr<const MkvInputOpener> opener;
    EmbeddedCameraInfo embedded;
    std::shared_ptr<FanoutList> fanout;  ///< the source's list
    /// Test seam: called on the pump thread at "before_pace" and
    /// "before_convert"; set before open() only.
    std::function<void(std::string_view)> pump_hook;

    // Written once by open() before `contents_ready` is set; constant after.
    std::atomic<bool> opened_once{false};
    std::atomic<bool> contents_ready{false};
    RecordingContents contents;

    ReplayDemuxer demuxer;
    FrameSlot slot;
    PumpSignal signal;
    WorkerThread pump;

    // Where the replay stands: written by frame emission and by repositions.
    Mutex position_mutex;
    std::int64_t sequence KELVO_GUARDED_BY(position_mutex) = 0;
    std::int64_t last_emitted_pts_us KELVO_GUARDED_BY(position_mutex) = 0;
    HistoryCursor calibration_cursor KELVO_GUARDED_BY(position_mutex);
    HistoryCursor camera_state_cursor KELVO_GUARDED_BY(position_mutex);
    CalibrationPtr active_calibration KELVO_GUARDED_BY(position_mutex);
    std::map<std::int64_t, CalibrationPtr> calibration_cache KELVO_GUARDED_BY(position_mutex);
    std::shared_ptr<const Json> camera_state KELVO_GUARDED_BY(position_mutex) =
        std::make_shared<const Json>(Json::object());
    // Written under `position_mutex`, read without it.
    std::atomic<std::int64_t> current_idx{-1};
    /// The pause bypass: the generation a reposition armed it for, or DISARMED.
    /// Tied to a generation so a frame of an older pass can never use it up.
    std::atomic<std::int64_t> bypass_generation{DISARMED};
    std::atomic<bool> ended{false};

    // Read and written without a lock by callers and the pump.
    std::atomic<bool> paused{false};
    std::atomic<std::int64_t> pace_t0_wall_ns{NO_ANCHOR};
    std::atomic<std::int64_t> pace_t0_pts_us{NO_ANCHOR};
    std::atomic<double> playback_rate{1.0};
    std::atomic<bool> loop{false};

    void require_open() const {
        if (!demuxer.is_open()) throw RuntimeError("MkvReplay not open");
    }
    bool bypass_armed_for(std::int64_t generation) const {
        return bypass_generation.load() == generation;
    }
    void reset_pacing() {
        pace_t0_wall_ns.store(NO_ANCHOR);
        pace_t0_pts_us.store(NO_ANCHOR);
    }

    // mkv_replay.cpp
    void open();
    void close();
    std::vector<CameraControl> list_camera_controls();
    void pause();
    void resume();
    void seek_relative_us(std::int64_t pts_us);
    void seek_to_frame_idx(std::int64_t idx);
    void step_one_forward();
    void step_one_backward();

    // replay_position.cpp
    /// The frame of `packet`, read in pass `generation` at position `index`
    /// of the frame index (-1: none): moves the position and histories to it
    /// and uses up a bypass armed for that pass. Null when a reposition has
    /// started another pass meanwhile.
    FramePtr emit_frame(const AVPacket& packet, std::int64_t generation, std::int64_t index)
        KELVO_EXCLUDES(position_mutex);
    void advance_histories_to(std::int64_t pts_us) KELVO_REQUIRES(position_mutex);
    /// What every successful reposition ends with.
    void moved_to(std::int64_t pts_us, std::int64_t generation) KELVO_REQUIRES(position_mutex);
    enum class PassEnd { rewound, ended, superseded };
    /// The end of pass `generation`: a loop rewind (with loop on and a frame
    /// since the last one), the end of the recording, or nothing to do because
    /// a reposition already started another pass.
    PassEnd end_pass(std::int64_t generation) KELVO_EXCLUDES(position_mutex);
    FramePtr grab_synchronous();

    // replay_pump.cpp
    void pump_loop();
    void maybe_pace(std::int64_t pts_us, std::int64_t generation);
    void hook(std::string_view point) const {
        if (pump_hook) pump_hook(point);
    }
};

}  // namespace kelvo::detail
