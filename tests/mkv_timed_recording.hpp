// Recordings with chosen frame times, muxed by libavformat: frames that tools
// like ffmpeg would space evenly (gaps, bursts) for replay timing tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

#include "core/ffmpeg_raii.hpp"
#include "mkv_replay_fixtures.hpp"

namespace kelvo::testing {

/// An MJPEG recording with chosen frame times (ms), muxed by libavformat.
inline std::filesystem::path write_timed_recording(const std::filesystem::path& path,
                                                   const std::vector<std::int64_t>& times_ms) {
    // One JPEG from ffmpeg (OpenCV's encoder pulls in GDAL, whose own locks
    // ThreadSanitizer reports).
    const auto jpeg_path = path.parent_path() / (path.stem().string() + ".jpg");
    run_ok("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=32x16 -frames:v 1 " +
           jpeg_path.string());
    std::ifstream in(jpeg_path, std::ios::binary);
    const std::vector<std::uint8_t> jpeg((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    EXPECT_FALSE(jpeg.empty());
    AVFormatContext* raw = nullptr;
    EXPECT_GE(avformat_alloc_output_context2(&raw, nullptr, "matroska", path.c_str()), 0);
    kelvo::detail::OutputContextPtr out(raw);
    AVStream* st = avformat_new_stream(raw, nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    st->codecpar->width = 32;
    st->codecpar->height = 16;
    st->time_base = {1, 1000};
    EXPECT_GE(avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    EXPECT_GE(avformat_write_header(raw, nullptr), 0);
    auto packet = kelvo::detail::make_packet();
    for (std::int64_t t : times_ms) {
        EXPECT_GE(av_new_packet(packet.get(), static_cast<int>(jpeg.size())), 0);
        std::copy(jpeg.begin(), jpeg.end(), packet->data);
        packet->stream_index = 0;
        packet->pts = packet->dts = av_rescale_q(t, {1, 1000}, st->time_base);
        packet->flags |= AV_PKT_FLAG_KEY;
        EXPECT_GE(av_interleaved_write_frame(raw, packet.get()), 0);
    }
    EXPECT_GE(av_write_trailer(raw), 0);
    return path;
}

}  // namespace kelvo::testing
