// Recordings with chosen frame times, muxed by libavformat: frames that tools
// like ffmpeg would space evenly (gaps, bursts) for replay timing tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "core/ffmpeg_raii.hpp"
#include "mkv_replay_fixtures.hpp"

namespace kelvo::testing {

/// One ffmpeg test-pattern JPEG of `width` x `height` (OpenCV's encoder pulls in
/// GDAL, whose own locks ThreadSanitizer reports).
inline std::vector<std::uint8_t> test_jpeg(const std::filesystem::path& dir, int width,
                                           int height) {
    const auto jpeg_path =
        dir / ("pattern_" + std::to_string(width) + "x" + std::to_string(height) + ".jpg");
    run_ok("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + std::to_string(width) + "x" +
           std::to_string(height) + " -frames:v 1 " + jpeg_path.string());
    std::ifstream in(jpeg_path, std::ios::binary);
    std::vector<std::uint8_t> jpeg((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    EXPECT_FALSE(jpeg.empty());
    return jpeg;
}

/// A video packet: times in ms (dts defaults to pts), payload (empty: the
/// test pattern).
struct PacketSpec {
    std::int64_t pts_ms;
    std::optional<std::int64_t> dts_ms;
    std::vector<std::uint8_t> payload;
};
/// A subtitle track of JSON events: (pts ms, dts ms, text).
struct EventTrackSpec {
    std::string title;
    std::vector<std::tuple<std::int64_t, std::int64_t, std::string>> events;
};

/// An MJPEG recording of exactly these packets, in this order, muxed by
/// libavformat: times may be out of order, repeated or negative (as other
/// tools write them).
inline std::filesystem::path write_packets_recording(const std::filesystem::path& path,
                                                     const std::vector<PacketSpec>& frames,
                                                     const std::vector<EventTrackSpec>& tracks = {},
                                                     int width = 32, int height = 16) {
    const auto jpeg = test_jpeg(path.parent_path(), width, height);
    AVFormatContext* raw = nullptr;
    EXPECT_GE(avformat_alloc_output_context2(&raw, nullptr, "matroska", path.c_str()), 0);
    kelvo::detail::OutputContextPtr out(raw);
    raw->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;  // keep the times as given
    AVStream* st = avformat_new_stream(raw, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    st->codecpar->width = width;
    st->codecpar->height = height;
    st->time_base = {1, 1000};
    for (const auto& track : tracks) {
        AVStream* sub = avformat_new_stream(raw, nullptr);
        sub->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        sub->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        sub->time_base = {1, 1000};
        av_dict_set(&sub->metadata, "title", track.title.c_str(), 0);
    }
    EXPECT_GE(avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    EXPECT_GE(avformat_write_header(raw, nullptr), 0);
    auto packet = kelvo::detail::make_packet();
    auto write = [&](int stream, std::int64_t pts, std::int64_t dts,
                     const std::vector<std::uint8_t>& bytes, bool key) {
        EXPECT_GE(av_new_packet(packet.get(), static_cast<int>(bytes.size())), 0);
        std::copy(bytes.begin(), bytes.end(), packet->data);
        packet->stream_index = stream;
        packet->pts = av_rescale_q(pts, {1, 1000}, raw->streams[stream]->time_base);
        packet->dts = av_rescale_q(dts, {1, 1000}, raw->streams[stream]->time_base);
        if (stream > 0) packet->duration = 1;
        if (key) packet->flags |= AV_PKT_FLAG_KEY;
        // Written as given: interleaving would reorder the file.
        EXPECT_GE(av_write_frame(raw, packet.get()), 0);
        av_packet_unref(packet.get());
    };
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        for (const auto& [pts, dts, text] : tracks[t].events) {
            write(static_cast<int>(t) + 1, pts, dts,
                  std::vector<std::uint8_t>(text.begin(), text.end()), true);
        }
    }
    for (const auto& frame : frames) {
        write(0, frame.pts_ms, frame.dts_ms.value_or(frame.pts_ms),
              frame.payload.empty() ? jpeg : frame.payload, true);
    }
    EXPECT_GE(av_write_trailer(raw), 0);
    return path;
}

/// An MJPEG recording with chosen frame times (ms), muxed by libavformat.
inline std::filesystem::path write_timed_recording(const std::filesystem::path& path,
                                                   const std::vector<std::int64_t>& times_ms) {
    std::vector<PacketSpec> frames;
    for (std::int64_t t : times_ms) frames.push_back({t, std::nullopt, {}});
    return write_packets_recording(path, frames);
}

}  // namespace kelvo::testing
