// The pump thread of a live source: device packets to frames, handed to the
// fan-out and the drop-to-latest slot.
#include <stdexcept>
#include <vector>

#include "kelvo/sources/live_capture.hpp"
#include "sources/live_capture/live_capture_state.hpp"

namespace kelvo {
namespace {

using detail::FfmpegError;

constexpr double WOULD_BLOCK_RETRY_S = 0.005;

/// Demux failures that close() can provoke (an interrupted or invalidated
/// read): logged only while the pump is meant to run.
bool is_demux_error_class(int code) {
    return code == AVERROR(EINVAL) || code == AVERROR_EXIT;
}

}  // namespace

void LiveCapture::_pump_loop(detail::LiveCaptureShared& shared, detail::LivePumpRun& run,
                             const FanoutList& fanout, const Event& stop) {
    auto& logger = *shared.logger;
    AVFormatContext* ctx = run.input.get();

    try {
        detail::PacketPtr packet = detail::make_packet();
        while (!stop.is_set()) {
            const int rc = av_read_frame(ctx, packet.get());
            if (rc == AVERROR(EAGAIN)) {
                // The device has no packet ready yet: an interruptible 5 ms pause.
                stop.wait_for(WOULD_BLOCK_RETRY_S);
                continue;
            }
            if (rc == AVERROR_EOF) {
                if (!stop.is_set()) {
                    log_printf(logger, spdlog::level::warn, "camera pump: demux ended (EOF)");
                }
                break;
            }
            detail::check_av(rc, "camera demux failed");
            detail::PacketUnref unref{packet.get()};

            if (packet->stream_index != run.stream_index) continue;
            if (stop.is_set()) break;
            if (packet->pts == AV_NOPTS_VALUE || packet->size == 0) continue;

            const AVRational tb = packet->time_base.num > 0 && packet->time_base.den > 0
                                      ? packet->time_base
                                      : run.stream_time_base;
            const std::int64_t time_ns = detail::packet_time_ns(packet->pts, tb.num, tb.den);
            std::int64_t expected = detail::NO_ANCHOR;
            shared.t0_monotonic_ns.compare_exchange_strong(expected, time_ns);
            const std::int64_t pts_us =
                detail::relative_pts_us(time_ns, shared.t0_monotonic_ns.load());

            std::vector<std::uint8_t> bytes(packet->data, packet->data + packet->size);
            auto payload = run.backend->trim_payload(std::move(bytes), run.width, run.height);
            const std::int64_t sequence = ++shared.sequence;
            FramePtr frame = std::make_shared<const RawFrame>(RawFrame{
                std::move(payload), pts_us, sequence, std::nullopt, run.calibration, nullptr});

            fanout.dispatch(frame, logger);
            shared.slot.publish(std::move(frame));
        }
    } catch (const FfmpegError& error) {
        if (is_demux_error_class(error.code())) {
            if (!stop.is_set()) {
                log_exception(logger, "camera pump thread: unexpected demux error");
            }
        } else {
            log_exception(logger, "camera pump thread crashed");
        }
    } catch (const std::out_of_range&) {
        if (!stop.is_set()) log_exception(logger, "camera pump thread: unexpected demux error");
    } catch (...) {
        log_exception(logger, "camera pump thread crashed");
    }
    if (!stop.is_set()) run.ended.store(true);
}

}  // namespace kelvo
