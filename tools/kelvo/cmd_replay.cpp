// `kelvo replay`: replays a recording and prints one line per delivered frame.
#include <chrono>
#include <cmath>
#include <iostream>

#include <fmt/format.h>

#include "cli.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"

namespace kelvo::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct Printer {
    MkvReplay& replay;
    bool json;
    bool realtime;
    std::optional<Clock::time_point> first;

    void print(const RawFrame& frame) {
        const auto now = Clock::now();
        if (!first) first = now;
        if (!json) {
            fmt::print("frame {:>6}  pts_us {:>12}  idx {:>6}  {:>8} bytes\n", frame.sequence,
                       frame.pts_us,
                       frame.source_frame_idx ? std::to_string(*frame.source_frame_idx) : "-",
                       frame.payload.size());
            std::fflush(stdout);
            return;
        }
        Json line = Json::object();
        line["sequence"] = frame.sequence;
        line["pts_us"] = frame.pts_us;
        line["source_frame_idx"] = detail::optional_json(frame.source_frame_idx);
        line["size"] = frame.payload.size();
        const auto calibration = replay.active_calibration();
        line["calibration"] = calibration ? calibration->to_dict() : Json(nullptr);
        line["controls"] = control_values(replay);
        if (realtime) {
            const double ms = std::chrono::duration<double, std::milli>(now - *first).count();
            line["wall_ms"] = std::round(ms * 1000.0) / 1000.0;
        }
        std::cout << line.dump() << "\n" << std::flush;
    }
};

int run_replay(const Args& args) {
    const std::string path = args.positional.at(0);
    const std::string mode = args.value("--mode").value_or("every_frame");
    if (mode != "every_frame" && mode != "realtime") {
        throw UsageError("--mode must be every_frame or realtime; got '" + mode + "'");
    }
    const long long max_frames = args.integer("--max-frames", -1);
    if (args.value("--max-frames") && max_frames < 0) {
        throw UsageError("--max-frames must not be negative");
    }
    const bool realtime = mode == "realtime";
    MkvReplay replay(path, {.replay_mode = mode,
                            .loop = args.flag("--loop"),
                            .build_frame_index = !args.flag("--no-index")});
    replay.open();
    if (args.value("--seek")) replay.seek_relative_us(args.integer("--seek", 0));
    Printer printer{replay, args.flag("--json"), realtime, std::nullopt};

    if (args.value("--step")) {
        const long long steps = args.integer("--step", 0);
        replay.pause();
        const long long count = std::llabs(steps);
        for (long long i = 0; i < count; ++i) {
            if (steps > 0) {
                replay.step_one_forward();
            } else if (i == 0) {
                // Backward steps start from the last frame of the file.
                const auto index = replay.frame_index();
                if (index.empty()) replay.step_one_backward();  // raises the usual error
                replay._seek_to_frame_idx(static_cast<std::int64_t>(index.size()) - 1);
            } else {
                replay.step_one_backward();
            }
            FramePtr frame = replay.grab(2.0);
            if (!frame) break;  // already at the first or last frame
            printer.print(*frame);
        }
        replay.close();
        return 0;
    }

    long long delivered = 0;
    auto last_frame_at = Clock::now();
    while (max_frames < 0 || delivered < max_frames) {
        FramePtr frame = replay.grab(1.0);
        if (frame) {
            printer.print(*frame);
            ++delivered;
            last_frame_at = Clock::now();
            continue;
        }
        if (replay.at_end()) break;
        if (Clock::now() - last_frame_at > std::chrono::seconds(30)) {
            throw ExitError(1, "kelvo replay: no frame for 30 s; giving up");
        }
    }
    replay.close();
    if (!args.flag("--json")) fmt::print("{} frames\n", delivered);
    return 0;
}

const bool registered = register_command({
    .name = "replay",
    .usage = "replay REC [--mode every_frame|realtime] [--loop] [--no-index] [--max-frames N] "
             "[--seek US] [--step N] [--json]",
    .summary = "replay a recording, one line per frame",
    .value_options = {"--mode", "--max-frames", "--seek", "--step"},
    .flag_options = {"--loop", "--no-index", "--json"},
    .min_positional = 1,
    .max_positional = 1,
    .run = run_replay,
});

}  // namespace
}  // namespace kelvo::cli
