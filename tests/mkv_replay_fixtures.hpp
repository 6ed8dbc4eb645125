// Recordings for the replay tests, built with independent tools: ffmpeg for
// the video, mkvmerge (MKVToolNix) for tags, attachments and subtitle tracks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "kelvo/json.hpp"
#include "support/test_paths.hpp"

namespace kelvo::testing {

struct RecordingSpec {
    int frames = 10;
    std::string rate = "30";  ///< frames per second (lavfi rate)
    int width = 64;
    int height = 32;
    bool yuyv = false;  ///< rawvideo YUY2 instead of MJPEG
    std::vector<std::pair<std::string, std::string>> tags;
    std::optional<std::string> camera_info;  ///< bytes of camera_info.json
    std::vector<std::pair<std::string, std::string>> extra_attachments;
    std::vector<std::pair<std::int64_t, std::string>> calibration;   ///< (ms, block text)
    std::vector<std::pair<std::int64_t, std::string>> camera_state;  ///< (ms, block text)
    bool use_ffmpeg_only = false;  ///< tags, attachment and subtitles muxed by ffmpeg
};

inline void write_text(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string srt_time(std::int64_t ms) {
    return fmt::format("{:02}:{:02}:{:02},{:03}", ms / 3600000, (ms / 60000) % 60, (ms / 1000) % 60,
                       ms % 1000);
}

inline void write_srt(const std::filesystem::path& path,
                      const std::vector<std::pair<std::int64_t, std::string>>& events) {
    std::string text;
    int n = 1;
    for (const auto& [ms, block] : events) {
        text += fmt::format("{}\n{} --> {}\n{}\n\n", n++, srt_time(ms), srt_time(ms + 1), block);
    }
    write_text(path, text);
}

inline std::string xml_escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

inline std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

inline void run_ok(const std::string& command) {
    std::string output;
    const int status = run_command(command + " 2>&1", &output);
    // mkvmerge exits with 1 for warnings only.
    ASSERT_TRUE(status == 0 || (status == 1 && command.rfind("mkvmerge", 0) == 0))
        << command << "\n"
        << output;
}

/// The video alone, straight from ffmpeg.
inline std::filesystem::path make_video(const std::filesystem::path& dir, const std::string& name,
                                        const RecordingSpec& spec) {
    const auto out = dir / name;
    const std::string codec = spec.yuyv ? "-pix_fmt yuyv422 -c:v rawvideo" : "-c:v mjpeg -q:v 8";
    run_ok(fmt::format(
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size={}x{}:rate={} "
        "-frames:v {} {} {}",
        spec.width, spec.height, spec.rate, spec.frames, codec, shell_quote(out.string())));
    return out;
}

/// A whole recording: ffmpeg video, then mkvmerge (or ffmpeg) for the rest.
inline std::filesystem::path make_recording(const std::filesystem::path& dir,
                                            const std::string& name, const RecordingSpec& spec) {
    const auto video = make_video(dir, name + ".video.mkv", spec);
    const auto out = dir / name;
    const auto cal_srt = dir / (name + ".calibration.srt");
    const auto state_srt = dir / (name + ".camera_state.srt");
    if (!spec.calibration.empty()) write_srt(cal_srt, spec.calibration);
    if (!spec.camera_state.empty()) write_srt(state_srt, spec.camera_state);
    std::vector<std::pair<std::string, std::filesystem::path>> attachments;
    if (spec.camera_info) {
        const auto p = dir / (name + ".camera_info.json");
        write_text(p, *spec.camera_info);
        attachments.emplace_back("camera_info.json", p);
    }
    int k = 0;
    for (const auto& [att_name, content] : spec.extra_attachments) {
        const auto p = dir / (name + ".att" + std::to_string(k++));
        write_text(p, content);
        attachments.emplace_back(att_name, p);
    }

    if (spec.use_ffmpeg_only) {
        std::string cmd = "ffmpeg -nostdin -v error -y -i " + shell_quote(video.string());
        int inputs = 1;
        std::string maps = " -map 0:v";
        int sub = 0;
        std::string sub_meta;
        for (const auto& [events, path, title] :
             {std::tuple{&spec.calibration, cal_srt, "calibration"},
              std::tuple{&spec.camera_state, state_srt, "camera_state"}}) {
            if (events->empty()) continue;
            cmd += " -i " + shell_quote(path.string());
            maps += fmt::format(" -map {}:s", inputs++);
            sub_meta += fmt::format(" -metadata:s:s:{} title={}", sub++, title);
        }
        cmd += maps + " -c copy -c:s srt" + sub_meta;
        int t = 0;
        for (const auto& [att_name, path] : attachments) {
            cmd += " -attach " + shell_quote(path.string()) +
                   fmt::format(" -metadata:s:t:{} mimetype=application/octet-stream", t) +
                   fmt::format(" -metadata:s:t:{} filename={}", t, shell_quote(att_name));
            ++t;
        }
        for (const auto& [key, value] : spec.tags) {
            cmd += " -metadata " + shell_quote(key + "=" + value);
        }
        run_ok(cmd + " " + shell_quote(out.string()));
        return out;
    }

    std::string cmd = "mkvmerge -q -o " + shell_quote(out.string());
    if (!spec.tags.empty()) {
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Tags><Tag><Targets/>\n";
        for (const auto& [key, value] : spec.tags) {
            xml += "<Simple><Name>" + xml_escape(key) + "</Name><String>" + xml_escape(value) +
                   "</String></Simple>\n";
        }
        xml += "</Tag></Tags>\n";
        const auto tags = dir / (name + ".tags.xml");
        write_text(tags, xml);
        cmd += " --global-tags " + shell_quote(tags.string());
    }
    for (const auto& [att_name, path] : attachments) {
        cmd += " --attachment-name " + shell_quote(att_name) +
               " --attachment-mime-type application/json --attach-file " +
               shell_quote(path.string());
    }
    cmd += " " + shell_quote(video.string());
    if (!spec.calibration.empty()) {
        cmd += " --track-name 0:calibration " + shell_quote(cal_srt.string());
    }
    if (!spec.camera_state.empty()) {
        cmd += " --track-name 0:camera_state " + shell_quote(state_srt.string());
    }
    run_ok(cmd);
    return out;
}

/// A calibration in the dictionary form, told apart by its focal length.
inline Json calibration_dict(double fx) {
    const Json k = Json::array({Json::array({fx, 0.0, 320.0}), Json::array({0.0, fx, 180.0}),
                                Json::array({0.0, 0.0, 1.0})});
    Json eye = Json::object();
    eye["camera_matrix"] = k;
    eye["dist_coeffs"] = Json::array({0.0, 0.0, 0.0, 0.0, 0.0});
    Json out = Json::object();
    out["image_size"] = Json::array({640, 360});
    out["left"] = eye;
    out["right"] = eye;
    out["R"] = Json::array(
        {Json::array({1.0, 0.0, 0.0}), Json::array({0.0, 1.0, 0.0}), Json::array({0.0, 0.0, 1.0})});
    out["T"] = Json::array({-0.06, 0.0, 0.0});
    return out;
}

inline constexpr const char* KNOWN_SKU = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21";

}  // namespace kelvo::testing
