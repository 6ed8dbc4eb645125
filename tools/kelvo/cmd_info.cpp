// `kelvo info`: what a recording holds (tags, camera, histories, frame index).
#include <iostream>

#include <fmt/format.h>

#include "cli.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"

namespace kelvo::cli {
namespace {

int run_info(const Args& args) {
    const std::string path = args.positional.at(0);
    MkvReplay replay(path,
                     {.replay_mode = "every_frame", .loop = false, .build_frame_index = true});
    const CameraInfo info = replay.open();
    const auto snapshot = replay.camera_controls_snapshot();
    Json out = Json::object();
    out["path"] = path;
    out["fourcc"] = replay.fourcc();
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

    if (args.flag("--json")) {
        std::cout << out.dump() << "\n";
        return 0;
    }
    for (const auto& [key, value] : out.items()) {
        fmt::print("{:<26} {}\n", key, value.is_string() ? value.get<std::string>() : value.dump());
    }
    return 0;
}

const bool registered = register_command({
    .name = "info",
    .usage = "info REC [--json]",
    .summary = "describe a recording",
    .value_options = {},
    .flag_options = {"--json"},
    .min_positional = 1,
    .max_positional = 1,
    .run = run_info,
});

}  // namespace
}  // namespace kelvo::cli
