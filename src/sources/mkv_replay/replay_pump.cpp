// The realtime pump: reads frames at the recorded pace, hands each to the
// fan-out callbacks and then to the drop-to-latest slot.
#include <algorithm>

#include "core/small_util.hpp"
#include "kelvo/log.hpp"
#include "sources/mkv_replay/mkv_replay_state.hpp"

namespace kelvo::detail {
namespace {

constexpr double PUMP_WAIT_S = 0.05;
constexpr double PACE_MAX_SLEEP_S = 0.5;
constexpr double PACE_THRESHOLD_S = 0.001;

}  // namespace

void MkvReplayState::pump_loop() {
    PacketPtr packet = make_packet();
    auto stopped = [this] { return signal.stop_requested(); };
    while (!stopped()) {
        // Pause gate: a reposition arms the bypass for its own pass.
        if (paused.load() && !bypass_armed_for(demuxer.generation())) {
            signal.wait_for(PUMP_WAIT_S, [&] {
                return !paused.load() || bypass_armed_for(demuxer.generation());
            });
            continue;
        }
        std::int64_t generation = 0;
        std::int64_t index = -1;
        const auto read = demuxer.read_next(packet.get(), &generation, &index);
        if (read == ReplayDemuxer::Read::closed) return;
        if (read == ReplayDemuxer::Read::end_of_pass) {
            hook("end_of_pass");
            if (end_pass(generation) == PassEnd::ended) {
                // Parked: nobody reads until a reposition starts another pass.
                paused.store(true);
                while (!stopped() && demuxer.generation() == generation) {
                    signal.wait_for(PUMP_WAIT_S,
                                    [&] { return demuxer.generation() != generation; });
                }
            }
            continue;
        }
        PacketUnref unref{packet.get()};
        const std::int64_t pts_us =
            video_pts_us(packet->pts, packet_time_base(*packet, contents.time_base));
        hook("before_pace");
        maybe_pace(pts_us, generation);
        if (stopped()) return;
        if (demuxer.generation() != generation) continue;
        // Late pause gate: a pause that came after the read holds the packet here.
        auto released = [&] {
            return !paused.load() || bypass_armed_for(generation) ||
                   demuxer.generation() != generation;
        };
        while (!stopped() && !released()) signal.wait_for(PUMP_WAIT_S, released);
        if (stopped()) return;
        if (demuxer.generation() != generation) continue;
        hook("before_convert");
        const FramePtr raw = emit_frame(*packet, generation, index);
        if (!raw) continue;
        fanout->dispatch(raw, *logger);
        slot.publish_if(raw, [&] { return demuxer.generation() == generation; });
    }
}

void MkvReplayState::maybe_pace(std::int64_t pts_us, std::int64_t generation) {
    const std::int64_t now = steady_now_ns();
    std::int64_t anchor_wall = NO_ANCHOR;
    if (pace_t0_wall_ns.compare_exchange_strong(anchor_wall, now)) {
        pace_t0_pts_us.store(pts_us);
        return;
    }
    const double elapsed = static_cast<double>(now - anchor_wall) / 1e9;
    std::int64_t anchor_pts = pace_t0_pts_us.load();
    if (anchor_pts == NO_ANCHOR) anchor_pts = 0;
    const double delay =
        static_cast<double>(pts_us - anchor_pts) / 1e6 / playback_rate.load() - elapsed;
    // A reposition ends the wait at once: its frame is due now.
    if (delay > PACE_THRESHOLD_S) {
        signal.wait_for(std::min(delay, PACE_MAX_SLEEP_S),
                        [&] { return demuxer.generation() != generation; });
    }
}

}  // namespace kelvo::detail
