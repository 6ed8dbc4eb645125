// What a recording's video track really holds. The replay source reports
// every codec it does not know as "MJPG" (so that a JPEG decode is at least
// attempted); users need the real codec to see why frames do not decode.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kelvo::cli {

struct VideoCodec {
    std::string name;        ///< libavcodec's short name: "mjpeg", "rawvideo", "mpeg4"
    std::string long_name;   ///< "MPEG-4 part 2"
    std::string tag;         ///< codec tag as four characters, or empty
    bool decodable = false;  ///< MJPEG, or raw video tagged YUY2
};

/// The codec of the first video track, or absent when the file does not open
/// or has no video track.
std::optional<VideoCodec> probe_video_codec(const std::filesystem::path& path);

/// "the video track is MPEG-4 part 2 ('mpeg4'), which kelvo cannot decode (it
/// decodes MJPEG and YUYV)".
std::string undecodable_reason(const VideoCodec& codec);

}  // namespace kelvo::cli
