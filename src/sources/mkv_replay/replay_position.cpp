// Where a replay stands: turning a packet into a frame (sequence, frame
// index, calibration and camera state in force), repositions, and the end of
// a demux pass; shared by both replay modes.
#include <algorithm>
#include <chrono>
#include <thread>

#include "kelvo/log.hpp"
#include "sources/mkv_replay/mkv_replay_state.hpp"

namespace kelvo::detail {
namespace {

constexpr std::size_t CALIBRATION_CACHE_LIMIT = 16;
constexpr double PAUSED_GRAB_WAIT_S = 0.05;

}  // namespace

FramePtr MkvReplayState::emit_frame(const AVPacket& packet, std::int64_t generation,
                                    std::int64_t index) {
    auto raw = std::make_shared<RawFrame>();
    raw->pts_us = video_pts_us(packet.pts, packet_time_base(packet, contents.time_base));
    // The bytes the demuxer read, shared rather than copied.
    raw->payload = payload_of(packet);
    MutexLock lock(position_mutex);
    // Repositions bump the generation under this lock, so a frame of an older
    // pass can no longer move what they set.
    if (demuxer.generation() != generation) return nullptr;
    raw->sequence = ++sequence;
    last_emitted_pts_us = raw->pts_us;
    advance_histories_to(raw->pts_us);
    raw->calibration = active_calibration;
    raw->camera_state = camera_state;
    if (index >= 0) current_idx.store(index);
    if (const std::int64_t idx = current_idx.load(); idx >= 0) raw->source_frame_idx = idx;
    std::int64_t armed = generation;
    bypass_generation.compare_exchange_strong(armed, DISARMED);
    return raw;
}

void MkvReplayState::advance_histories_to(std::int64_t pts_us) {
    // Calibration: each history entry is a whole calibration, built at most
    // once while cached (building one prepares rectification data).
    calibration_cursor.move_to(pts_us);
    const std::int64_t entry = calibration_cursor.entry();
    if (entry < 0) {
        active_calibration = embedded.base_calibration;
    } else if (auto it = calibration_cache.find(entry); it != calibration_cache.end()) {
        // A null entry failed to build: it is not tried (and logged) again.
        if (it->second) active_calibration = it->second;
    } else {
        if (calibration_cache.size() > CALIBRATION_CACHE_LIMIT) calibration_cache.clear();
        CalibrationPtr& built = calibration_cache[entry];
        try {
            built = Calibration::from_dict(*calibration_cursor.payload());
            active_calibration = built;
        } catch (...) {
            log_exception(*logger, "_advance_calibration_to: from_dict failed");
        }
    }
    // Camera state: a new snapshot only when another entry is in force.
    if (camera_state_cursor.move_to(pts_us)) {
        const Json* payload = camera_state_cursor.payload();
        camera_state = std::make_shared<const Json>(payload ? *payload : Json::object());
    }
}

void MkvReplayState::moved_to(std::int64_t pts_us, std::int64_t generation) {
    reset_pacing();
    last_emitted_pts_us = pts_us;
    advance_histories_to(pts_us);
    ended.store(false);
    bypass_generation.store(generation);
}

MkvReplayState::PassEnd MkvReplayState::end_pass(std::int64_t generation) {
    MutexLock lock(position_mutex);
    if (demuxer.generation() != generation) return PassEnd::superseded;
    if (loop.load()) {
        try {
            if (const auto rewound = demuxer.loop_rewind(slot)) {
                moved_to(0, *rewound);
                return PassEnd::rewound;
            }
        } catch (...) {
            if (!demuxer.is_open()) return PassEnd::ended;  // closed meanwhile: not a failure
            log_exception(*logger, "seek failed");
            return PassEnd::superseded;  // read on; the next end of the pass parks
        }
    }
    ended.store(true);
    return PassEnd::ended;
}

FramePtr MkvReplayState::grab_synchronous() {
    PacketPtr packet = make_packet();
    while (true) {
        if (paused.load() && !bypass_armed_for(demuxer.generation())) {
            std::this_thread::sleep_for(std::chrono::duration<double>(PAUSED_GRAB_WAIT_S));
            return nullptr;
        }
        bypass_generation.store(DISARMED);
        std::int64_t generation = 0;
        std::int64_t index = -1;
        const auto read = demuxer.read_next(packet.get(), &generation, &index);
        if (read == ReplayDemuxer::Read::closed) return nullptr;
        if (read == ReplayDemuxer::Read::end_of_pass) {
            if (end_pass(generation) == PassEnd::ended) return nullptr;
            continue;
        }
        PacketUnref unref{packet.get()};
        if (FramePtr raw = emit_frame(*packet, generation, index)) return raw;
        // Another thread repositioned meanwhile: read from the new position.
    }
}

}  // namespace kelvo::detail
