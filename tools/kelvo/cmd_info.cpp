// `kelvo info`: what a recording holds (tags, camera, codec, histories,
// frame index).
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "probe.hpp"

namespace kelvo::cli {
namespace {

struct InfoArgs {
    std::string path;
    bool json = false;
};

int run_info(const InfoArgs& args) {
    if (!std::filesystem::is_regular_file(args.path)) {
        throw ExitError(EXIT_FAILED, "kelvo info: error: no such recording: " + args.path);
    }
    MkvReplay replay(args.path,
                     {.replay_mode = "every_frame", .loop = false, .build_frame_index = true});
    const CameraInfo info = replay.open();
    const auto codec = probe_video_codec(args.path);
    const auto snapshot = replay.camera_controls_snapshot();
    Json out = Json::object();
    out["path"] = args.path;
    out["fourcc"] = replay.fourcc();
    out["codec"] = codec ? Json(codec->name) : Json(nullptr);
    out["decodable"] = codec && codec->decodable;
    out["width"] = info.width;
    out["height"] = info.height;
    out["fps"] = info.fps;
    out["camera_name"] = info.camera_name;
    out["camera_serial"] = info.camera_serial;
    out["sku"] = detail::optional_json(info.sku);
    out["clock_domain"] = replay.clock_domain();
    out["t0_monotonic_ns"] = replay.t0_monotonic_ns().value_or(0);
    out["t0_utc_ns"] = replay.t0_utc_ns();
    out["mode_slug"] = detail::optional_json(replay.mode_slug());
    out["duration_us"] = replay.duration_us();
    out["frame_count"] = replay.frame_index().size();
    out["calibration_events"] = replay.calibration_history().size();
    out["camera_state_events"] = replay.camera_state_history().size();
    out["has_base_calibration"] = replay.base_calibration() != nullptr;
    out["camera_controls_snapshot"] = detail::optional_json(snapshot);
    out["attachments"] = replay.attachment_names();
    replay.close();

    if (codec && !codec->decodable) {
        std::fprintf(stderr, "kelvo info: warning: %s; its frames cannot be processed\n",
                     undecodable_reason(*codec).c_str());
    }
    if (args.json) {
        std::cout << out.dump() << "\n";
        return 0;
    }
    for (const auto& [key, value] : out.items()) {
        fmt::print("{:<26} {}\n", key, value.is_string() ? value.get<std::string>() : value.dump());
    }
    return 0;
}

const bool info_registered = register_command({
    .name = "info",
    .summary = "describe a recording: camera, codec, duration, frames, histories, attachments",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<InfoArgs>();
            app.add_option("REC", args->path, "the recording (.mkv)")->required();
            app.add_flag("--json", args->json, "print one JSON object instead of a table");
            return [args] { return run_info(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
