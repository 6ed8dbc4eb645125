// What a live source shares with the pump threads it starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

#include "core/ffmpeg_raii.hpp"
#include "kelvo/log.hpp"
#include "kelvo/platform.hpp"
#include "kelvo/sources/frame_slot.hpp"
#include "kelvo/sources/live_capture.hpp"

namespace kelvo::detail {

/// `_t0_monotonic_ns` before the first accepted packet.
constexpr std::int64_t NO_ANCHOR = std::numeric_limits<std::int64_t>::min();

/// What a LiveCapture shares with every pump it started (a pump left
/// running after close() may outlive the source).
struct LiveCaptureShared {
    std::shared_ptr<spdlog::logger> logger;
    /// The drop-to-latest slot with its counters; survives close() and reopening.
    FrameSlot slot;
    // Written by the pump, read without a lock.
    std::atomic<std::int64_t> t0_monotonic_ns{NO_ANCHOR};
    std::atomic<std::int64_t> sequence{0};
};

/// One opening of the device: the input and what the pump needs to read it.
/// Held by the source and by its pump; the input is released by whichever
/// lets go last, so it is never freed under a read.
struct LivePumpRun {
    std::atomic<bool> interrupt{false};  ///< makes a blocking read return AVERROR_EXIT
    InputContextPtr input;               ///< declared after `interrupt`, destroyed before it
    int stream_index = -1;
    AVRational stream_time_base{0, 1};
    std::shared_ptr<PlatformBackend> backend;
    /// Attached to every frame: the calibration in force while the camera runs.
    CalibrationPtr calibration;
    int width = 0;
    int height = 0;
    /// The pump ended by itself (end of stream, an error), not by close().
    std::atomic<bool> ended{false};
};

}  // namespace kelvo::detail
