#include "sources/mkv_replay/recording_contents.hpp"

#include <algorithm>
#include <filesystem>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo::detail {
namespace {

std::optional<std::string> nonempty_string(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    std::string value = it->get<std::string>();
    if (value.empty()) return std::nullopt;
    return value;
}

int first_video_stream(const AVFormatContext* ctx) {
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return static_cast<int>(i);
    }
    return -1;
}

CameraInfo camera_identity(const AVStream& stream, const AVDictionary* tags,
                           const std::string& path, const std::optional<Json>& camera_info,
                           spdlog::logger& logger) {
    CameraInfo ci;
    ci.os_id = path;
    ci.width = std::max(0, stream.codecpar->width);
    ci.height = std::max(0, stream.codecpar->height);
    ci.camera_name = dict_value(tags, "CAMERA_NAME").value_or("");
    if (ci.camera_name.empty()) ci.camera_name = std::filesystem::path(path).filename().string();
    ci.camera_serial = dict_value(tags, "CAMERA_SERIAL").value_or("");
    // Present only as an object (see preload_camera_info); an empty one has
    // none of the keys read here.
    if (camera_info) {
        ci.sku = nonempty_string(*camera_info, "sku");
        if (auto model = nonempty_string(*camera_info, "model_name")) ci.camera_name = *model;
        for (const char* key : {"serial", "camera_serial", "serial_number"}) {
            if (auto serial = nonempty_string(*camera_info, key)) {
                ci.camera_serial = *serial;
                break;
            }
        }
    }
    ci.fps = 30.0;
    if (const auto text = dict_value(tags, "FPS_TARGET")) {
        const auto fps = parse_float_tag(*text);
        if (fps && *fps > 0) {
            ci.fps = *fps;
        } else {
            log_printf(logger, spdlog::level::warn,
                       "%s: tag FPS_TARGET=%r is not a frame rate; using 30", path, repr(*text));
        }
    }
    ci.is_live = false;
    ci.clock_domain = dict_value(tags, "CAPTURE_CLOCK_DOMAIN").value_or("linux_monotonic");
    return ci;
}

/// An integer tag, 0 when missing; one that does not parse is 0 with a warning.
std::int64_t int_tag(const AVDictionary* tags, const char* name, const std::string& path,
                     spdlog::logger& logger) {
    const auto text = dict_value(tags, name);
    if (!text) return 0;
    if (const auto value = parse_int_tag(*text)) return *value;
    log_printf(logger, spdlog::level::warn, "%s: tag %s=%r is not a 64-bit integer; using 0", path,
               name, repr(*text));
    return 0;
}

/// The events of one history by time, in file order among equal times (what
/// the writer produces; another tool's file may hold them in another order).
History in_time_order(History events, const char* title, const std::string& path,
                      spdlog::logger& logger) {
    const auto by_time = [](const HistoryEvent& a, const HistoryEvent& b) {
        return a.first < b.first;
    };
    if (!std::is_sorted(events.begin(), events.end(), by_time)) {
        log_printf(logger, spdlog::level::warn,
                   "%s: %s events are stored out of time order; replaying them by time", path,
                   title);
        std::stable_sort(events.begin(), events.end(), by_time);
    }
    return events;
}

}  // namespace

EmbeddedCameraInfo preload_camera_info(const MkvInputOpener& opener, const std::string& path,
                                       spdlog::logger& logger) {
    EmbeddedCameraInfo out;
    ReplayInput c;
    try {
        c = opener.open(path);
    } catch (...) {
        log_exception(logger,
                      fmt::sprintf("MkvReplay: cannot open %s for metadata pre-load", path));
        return out;
    }
    out.camera_info = _parse_attachment_json(_read_attachment_blobs(c.get()), "camera_info.json");
    // A top level other than an object carries no keys to read.
    if (out.camera_info && !out.camera_info->is_object()) out.camera_info.reset();
    if (!out.camera_info) return out;
    const auto it = out.camera_info->find("base_calibration");
    if (it == out.camera_info->end() || !it->is_object()) {
        logger.error("embedded camera_info has no base_calibration block");
        return out;
    }
    try {
        out.base_calibration = Calibration::from_dict(*it);
    } catch (...) {
        log_exception(logger, "base calibration failed to deserialize");
    }
    return out;
}

RecordingContents read_recording_contents(AVFormatContext* ctx, const std::string& path,
                                          const std::optional<Json>& camera_info,
                                          bool build_frame_index, spdlog::logger& logger) {
    RecordingContents out;
    const int video = first_video_stream(ctx);
    if (video < 0) throw RuntimeError("no video track in recording " + repr(path));
    const AVStream* stream = ctx->streams[video];
    if (stream->time_base.num <= 0 || stream->time_base.den <= 0) {
        throw RuntimeError("video track of " + repr(path) + " has no usable time base");
    }
    out.stream_index = video;
    out.time_base = stream->time_base;
    out.fourcc = derive_fourcc(stream);

    const AVDictionary* tags = ctx->metadata;
    out.t0_monotonic_ns = int_tag(tags, "RECORD_T0_HOST_MONOTONIC_NS", path, logger);
    out.t0_utc_ns = int_tag(tags, "RECORD_T0_UNIX_EPOCH_NS", path, logger);
    out.clock_domain = dict_value(tags, "CAPTURE_CLOCK_DOMAIN").value_or("linux_monotonic");
    out.mode_slug = dict_value(tags, "CAPTURE_MODE").value_or("");
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) continue;
        if (auto name = dict_value(st->metadata, "filename")) out.attachment_names.push_back(*name);
    }

    // Frames are indexed by their place in the file, in the pass that reads
    // the histories: the replay reads from the file's beginning too.
    auto histories = _read_subtitle_tracks(ctx, {"calibration", "camera_state"},
                                           build_frame_index ? &out.frame_pts : nullptr, video,
                                           build_frame_index ? &out.frame_pos : nullptr);
    out.calibration_history =
        in_time_order(std::move(histories["calibration"]), "calibration", path, logger);
    out.camera_state_history =
        in_time_order(std::move(histories["camera_state"]), "camera_state", path, logger);
    if (!out.camera_state_history.empty())
        out.camera_controls_snapshot = out.camera_state_history.front().second;
    if (ctx->duration != AV_NOPTS_VALUE) out.duration_us = ctx->duration;
    if (build_frame_index) {
        log_printf(logger, spdlog::level::info, "indexed %d frames in %s",
                   static_cast<long long>(out.frame_pts.size()), path);
    }
    out.info = camera_identity(*stream, tags, path, camera_info, logger);
    return out;
}

}  // namespace kelvo::detail
