#include "probe.hpp"

#include <cctype>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <fmt/format.h>

namespace kelvo::cli {
namespace {

struct InputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};

std::string tag_text(std::uint32_t tag) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<unsigned char>((tag >> (8 * i)) & 0xFF);
        if (!std::isprint(c)) return {};
        out += static_cast<char>(c);
    }
    return out;
}

std::string upper(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::optional<VideoCodec> probe_video_codec(const std::filesystem::path& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return std::nullopt;
    std::unique_ptr<AVFormatContext, InputDeleter> input(raw);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* par = input->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        VideoCodec codec;
        codec.name = avcodec_get_name(par->codec_id);
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(par->codec_id);
        codec.long_name = descriptor && descriptor->long_name ? descriptor->long_name : codec.name;
        codec.tag = tag_text(par->codec_tag);
        codec.decodable =
            codec.name == "mjpeg" || (codec.name == "rawvideo" && upper(codec.tag) == "YUY2");
        return codec;
    }
    return std::nullopt;
}

std::string undecodable_reason(const VideoCodec& codec) {
    return fmt::format(
        "the video track is {} ('{}'{}), which kelvo cannot decode (it decodes MJPEG and "
        "YUYV)",
        codec.long_name, codec.name, codec.tag.empty() ? "" : ", tag " + codec.tag);
}

}  // namespace kelvo::cli
