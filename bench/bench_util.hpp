// Timing, statistics and the bare libavformat read loop the benchmarks
// compare against.
#pragma once

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/ffmpeg_raii.hpp"

namespace kelvo::bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

/// CPU seconds of `clock`: the whole process by default, or
/// CLOCK_THREAD_CPUTIME_ID for the calling thread.
inline double cpu_seconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

/// The value at fraction `p` (0 to 1) of the sorted values, nearest rank.
template <typename T>
T percentile(std::vector<T> values, double p) {
    std::sort(values.begin(), values.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

inline double median(const std::vector<double>& values) {
    return values.empty() ? 0.0 : percentile(values, 0.5);
}

struct BarePass {
    double open_s = 0;
    double read_s = 0;
    long packets = 0;  ///< video packets
};

/// avformat_open_input plus reading every packet, nothing else; with
/// `copy_payload`, each video packet is also copied into a fresh byte vector,
/// the least any source handing out owned payloads has to do.
inline BarePass bare_pass(const std::filesystem::path& path, const char* format = nullptr,
                          bool copy_payload = false) {
    BarePass out;
    const auto t0 = Clock::now();
    AVFormatContext* raw = nullptr;
    const AVInputFormat* input_format = format ? av_find_input_format(format) : nullptr;
    if (avformat_open_input(&raw, path.c_str(), input_format, nullptr) < 0) {
        throw std::runtime_error("cannot open " + path.string());
    }
    kelvo::detail::InputContextPtr ctx(raw);
    out.open_s = seconds_since(t0);
    const auto t1 = Clock::now();
    auto packet = kelvo::detail::make_packet();
    while (av_read_frame(ctx.get(), packet.get()) >= 0) {
        if (ctx->streams[packet->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            ++out.packets;
            if (copy_payload) {
                auto payload = std::make_shared<std::vector<std::uint8_t>>(
                    packet->data, packet->data + packet->size);
                benchmark::DoNotOptimize(payload->data());
            }
        }
        av_packet_unref(packet.get());
    }
    out.read_s = seconds_since(t1);
    return out;
}

}  // namespace kelvo::bench
