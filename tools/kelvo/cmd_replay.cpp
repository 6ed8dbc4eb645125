// `kelvo replay`: replays a recording and prints one line per delivered frame.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "console.hpp"
#include "frame_range.hpp"
#include "interrupt.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "options.hpp"

namespace kelvo::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct ReplayArgs {
    std::string path;
    std::string mode = "every_frame";
    bool loop = false;
    double rate = 1.0;
    bool no_index = false;
    std::optional<long long> seek;
    std::optional<long long> step;
    RangeArgs range;
    bool json = false;
};

struct Printer {
    /// The catalogue's controls of the recorded camera (empty for an unknown one).
    CameraControlList controls;
    bool json;
    bool realtime;
    std::optional<Clock::time_point> first;
    long long printed = 0;

    void print(const RawFrame& frame) {
        const auto now = Clock::now();
        if (!first) first = now;
        ++printed;
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
        // What was in force for this frame, as it came with the frame.
        line["calibration"] = frame.calibration ? frame.calibration->to_dict() : Json(nullptr);
        Json values = Json::object();
        if (frame.camera_state) {
            for (const auto& control : with_snapshot_values(controls, *frame.camera_state)) {
                if (control.current_value) values[control.name] = *control.current_value;
            }
        }
        line["controls"] = std::move(values);
        if (realtime) {
            const double ms = std::chrono::duration<double, std::milli>(now - *first).count();
            line["wall_ms"] = std::round(ms * 1000.0) / 1000.0;
        }
        std::cout << line.dump() << "\n" << std::flush;
    }
};

/// The end of the recording in microseconds: its duration, or the time of
/// its last frame when the container states none.
std::int64_t recording_end_us(MkvReplay& replay) {
    if (replay.duration_us() > 0) return replay.duration_us();
    const auto index = replay.frame_index();
    return index.empty() ? 0 : index.back() + 1;
}

/// `--step N` (after an optional `--seek`): N exact single-frame steps,
/// forward from the frame the seek reached (or the first), backward from it
/// (or from the last).
int run_steps(MkvReplay& replay, const ReplayArgs& args, Printer& printer) {
    const long long steps = *args.step;
    const auto index = replay.frame_index();
    if (index.empty()) replay.step_one_forward();  // raises the error that explains why
    const auto frames = static_cast<long long>(index.size());
    if (std::llabs(steps) > frames) {
        throw UsageError(
            fmt::format("--step must be within -{0}..{0} (not 0) for this recording "
                        "of {0} frames; got {1}",
                        frames, steps));
    }
    // The frame a plain replay with this --seek would show first.
    long long at = steps > 0 ? 0 : frames - 1;
    if (args.seek) {
        const auto after = std::upper_bound(index.begin(), index.end(), *args.seek);
        at = std::max<long long>(0, static_cast<long long>(after - index.begin()) - 1);
    }
    replay.pause();
    const long long count = std::llabs(steps);
    long long done = 0;
    for (; done < count && !interrupted(); ++done) {
        if (done == 0) {
            replay.seek_to_frame(at);
        } else {
            const auto before = replay.current_frame_idx();
            if (steps > 0) {
                replay.step_one_forward();
            } else {
                replay.step_one_backward();
            }
            if (replay.current_frame_idx() == before) break;  // at the first or last frame
        }
        FramePtr frame = replay.grab(2.0);
        if (!frame) break;
        printer.print(*frame);
    }
    replay.close();
    if (interrupted()) return EXIT_INTERRUPTED;
    if (done < count) {
        note(fmt::format("kelvo replay: reached the {} frame after {} of {} steps",
                         steps > 0 ? "last" : "first", done, count));
    }
    return 0;
}

int run_replay(const ReplayArgs& args) {
    if (args.step && (!args.range.start.empty() || !args.range.end.empty() ||
                      args.range.every != 1 || args.range.max_frames != 0 || args.loop)) {
        throw UsageError(
            "--step makes exact single steps; it does not combine with --start, "
            "--end, --every, --max-frames or --loop");
    }
    if (args.seek && !args.range.start.empty()) {
        throw UsageError("give either --seek or --start, not both");
    }
    if (!std::filesystem::is_regular_file(args.path)) {
        throw ExitError(EXIT_FAILED, "kelvo replay: error: no such recording: " + args.path);
    }
    const bool realtime = args.mode == "realtime";
    auto replay =
        std::make_shared<MkvReplay>(args.path, MkvReplayOptions{.replay_mode = args.mode,
                                                                .loop = args.loop,
                                                                .build_frame_index = !args.no_index,
                                                                .playback_rate = args.rate});
    catch_interrupts();
    RangedReplay ranged(replay, args.range);
    const CameraInfo info = ranged.open();
    if (args.seek) {
        const std::int64_t end = recording_end_us(*replay);
        if (*args.seek >= end) {
            replay->close();
            throw ExitError(EXIT_FAILED,
                            fmt::format("kelvo replay: --seek {} us is past the end of the "
                                        "recording (it ends at {} us)",
                                        *args.seek, end));
        }
    }
    const auto spec = info.sku ? spec_by_sku(*info.sku) : nullptr;
    Printer printer{spec ? spec->platform_controls() : CameraControlList{}, args.json, realtime,
                    std::nullopt};
    if (args.step) return run_steps(*replay, args, printer);
    if (args.seek) replay->seek_relative_us(*args.seek);

    auto last_frame_at = Clock::now();
    for (;;) {
        FramePtr frame = ranged.grab(realtime ? 0.25 : 1.0);
        if (frame) {
            printer.print(*frame);
            last_frame_at = Clock::now();
            continue;
        }
        if (ranged.at_end()) break;
        if (Clock::now() - last_frame_at > std::chrono::seconds(30)) {
            throw ExitError(EXIT_FAILED, "kelvo replay: no frame for 30 s; giving up");
        }
    }
    ranged.close();
    if (!args.json) fmt::print("{} frames\n", printer.printed);
    if (interrupted()) return EXIT_INTERRUPTED;
    if (printer.printed == 0) {
        throw ExitError(EXIT_FAILED, replay->frame_index().empty() && !args.no_index
                                         ? "kelvo replay: the recording holds no frame"
                                         : "kelvo replay: no frame in the selected range");
    }
    return 0;
}

const bool replay_registered = register_command({
    .name = "replay",
    .summary = "replay a recording, one line per frame",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<ReplayArgs>();
            app.add_option("REC", args->path, "the recording (.mkv)")->required();
            app.add_option("--mode", args->mode,
                           "every_frame: every frame, as fast as they are read; realtime: paced "
                           "at the recorded rate, late frames dropped")
                ->type_name("every_frame|realtime")
                ->check(one_of({"every_frame", "realtime"}))
                ->capture_default_str();
            app.add_flag("--loop", args->loop, "start again at the end of the recording");
            app.add_option("--rate", args->rate,
                           "realtime mode's pace as a multiple of the recorded speed, 0.25 to 4")
                ->type_name("R")
                ->check(CLI::Range(MIN_PLAYBACK_RATE, MAX_PLAYBACK_RATE))
                ->capture_default_str();
            app.add_flag("--no-index", args->no_index,
                         "skip building the frame index at open (faster on long recordings); "
                         "frames then have no source_frame_idx, and --step and frame-index "
                         "positions are unavailable");
            app.add_option("--seek", args->seek,
                           "start at this recording time, in microseconds from its start (the "
                           "frame at or before it comes first)")
                ->type_name("US")
                ->check(at_least(0));
            app.add_option("--step", args->step,
                           "pause, then make N exact single-frame steps and print each frame: "
                           "N > 0 forward from the first frame (or the --seek frame), N < 0 "
                           "backward from the last (or the --seek frame)")
                ->type_name("N")
                ->check(not_zero());
            add_range_options(app, args->range);
            app.add_flag("--json", args->json,
                         "one JSON object per frame: sequence, pts_us, source_frame_idx, size, "
                         "calibration, controls (and wall_ms in realtime mode)");
            return [args] { return run_replay(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
