// Helpers of the recorder tests: real JPEG and YUYV payloads, and an
// independent read-back of a recording with libavformat and ffprobe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

extern "C" {
#include <libavformat/avformat.h>
}

#include "kelvo/json.hpp"
#include "kelvo/sources/types.hpp"
#include "support/test_paths.hpp"

namespace kelvo::testing {

/// A small side-by-side JPEG whose content depends on `index`.
inline std::vector<std::uint8_t> make_jpeg(int index, int width = 64, int height = 32) {
    cv::Mat image(height, width, CV_8UC3);
    cv::RNG rng(static_cast<std::uint64_t>(index) + 1);
    rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::putText(image, std::to_string(index), {2, height - 4}, cv::FONT_HERSHEY_SIMPLEX, 0.4,
                cv::Scalar(index % 256, 255, 0));
    std::vector<std::uint8_t> out;
    cv::imencode(".jpg", image, out);
    return out;
}

/// A packed YUYV frame whose bytes depend on `index`.
inline std::vector<std::uint8_t> make_yuyv(int index, int width, int height) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * height * 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint8_t>((i * 7 + static_cast<std::size_t>(index) * 13) & 0xFF);
    return out;
}

inline FramePtr make_frame(std::vector<std::uint8_t> payload, std::int64_t pts_us,
                           std::int64_t sequence) {
    auto frame = std::make_shared<RawFrame>();
    frame->payload = std::move(payload);
    frame->pts_us = pts_us;
    frame->sequence = sequence;
    return frame;
}

struct ReadPacket {
    std::int64_t pts_us = 0;
    bool key = false;
    std::vector<std::uint8_t> data;
};

/// Everything a reader finds in a recording, read with libavformat directly.
struct Recording {
    bool opened = false;
    std::string open_error;
    std::map<std::string, std::string> tags;
    std::string video_codec;
    std::string video_tag;
    int width = 0;
    int height = 0;
    AVRational video_time_base{0, 1};
    int index_entries_at_open = 0;  ///< the video stream's index (cues) before reading packets
    std::vector<ReadPacket> video;
    std::map<std::string, std::vector<std::pair<std::int64_t, std::string>>> events;
    std::map<std::string, std::string> attachments;
    std::int64_t duration_us = 0;
};

inline std::int64_t to_us(std::int64_t pts, AVRational tb) {
    return av_rescale_q(pts, tb, AVRational{1, 1000000});
}

inline Recording read_recording(const std::filesystem::path& path) {
    Recording rec;
    AVFormatContext* raw = nullptr;
    int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (ret < 0) {
        rec.open_error = "avformat_open_input failed " + std::to_string(ret);
        return rec;
    }
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> ctx(
        raw, [](AVFormatContext* c) { avformat_close_input(&c); });
    rec.opened = true;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(ctx->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        rec.tags[e->key] = e->value;
    if (ctx->duration != AV_NOPTS_VALUE) rec.duration_us = ctx->duration;
    int video = -1;
    std::map<int, std::string> titles;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        AVStream* st = ctx->streams[i];
        const auto type = st->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && video < 0) {
            video = static_cast<int>(i);
            rec.video_codec = avcodec_get_name(st->codecpar->codec_id);
            char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
            av_fourcc_make_string(tag, st->codecpar->codec_tag);
            rec.video_tag = tag;
            rec.width = st->codecpar->width;
            rec.height = st->codecpar->height;
            rec.video_time_base = st->time_base;
        } else if (type == AVMEDIA_TYPE_SUBTITLE) {
            if (auto* t = av_dict_get(st->metadata, "title", nullptr, 0)) {
                titles[static_cast<int>(i)] = t->value;
                rec.events[t->value];
            }
        } else if (type == AVMEDIA_TYPE_ATTACHMENT) {
            auto* name = av_dict_get(st->metadata, "filename", nullptr, 0);
            if (name && st->codecpar->extradata_size > 0)
                rec.attachments[name->value] =
                    std::string(reinterpret_cast<const char*>(st->codecpar->extradata),
                                static_cast<std::size_t>(st->codecpar->extradata_size));
        }
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx.get(), pkt) >= 0) {
        AVStream* st = ctx->streams[pkt->stream_index];
        if (pkt->stream_index == video) {
            ReadPacket p;
            p.pts_us = to_us(pkt->pts, st->time_base);
            p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
            p.data.assign(pkt->data, pkt->data + pkt->size);
            rec.video.push_back(std::move(p));
        } else if (auto it = titles.find(pkt->stream_index); it != titles.end()) {
            rec.events[it->second].emplace_back(
                to_us(pkt->pts, st->time_base),
                std::string(reinterpret_cast<const char*>(pkt->data),
                            static_cast<std::size_t>(pkt->size)));
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    if (video >= 0) {
        // On a fresh open the demuxer loads the cues with the first seek; before
        // any packet is read the index holds the cues only.
        AVFormatContext* again = nullptr;
        if (avformat_open_input(&again, path.c_str(), nullptr, nullptr) >= 0) {
            av_seek_frame(again, video, 0, AVSEEK_FLAG_BACKWARD);
            rec.index_entries_at_open = avformat_index_get_entries_count(again->streams[video]);
            avformat_close_input(&again);
        }
    }
    return rec;
}

/// ffprobe's view of a file: streams, format and packets.
inline Json ffprobe(const std::filesystem::path& path) {
    std::string out;
    const int status = run_command(
        "ffprobe -v error -show_streams -show_format -show_packets "
        "-of json '" +
            path.string() + "'",
        &out);
    if (status != 0) return Json();
    return Json::parse(out, nullptr, false);
}

}  // namespace kelvo::testing
