// `kelvo calibration`: the calibration a recording has in force at a time,
// with the rectification derived from it, as JSON or as an OpenCV YAML file
// (cv::FileStorage; the projection matrices P1/P2 are what ROS camera_info
// calls P); with --check its health, with --correct a corrected copy.
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "frame_range.hpp"
#include "interrupt.hpp"
#include "kelvo/calibration.hpp"
#include "kelvo/calibration/health_check.hpp"
#include "kelvo/calibration/opencv_yaml.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/safe_output.hpp"
#include "options.hpp"

namespace kelvo::cli {
namespace {

struct CalibrationArgs {
    std::string path;
    long long at_us = 0;
    std::string format = "json";
    bool check = false;
    std::string correct;
    RangeArgs range;
    double window_s = 2.0;
    std::optional<long long> update_at;
    bool force = false;
    // Set by the parser; tell which options were given.
    CLI::Option* at_option = nullptr;
    CLI::Option* format_option = nullptr;
};

/// `--check` and `--correct`: the health of the calibration in force, and
/// a copy of the recording with a correction of it.
int run_check(const CalibrationArgs& args) {
    if (args.format_option->count() > 0 && args.format != "json") {
        throw UsageError(
            "--check and --correct print JSON; --format opencv-yaml is for the "
            "calibration itself");
    }
    if (args.at_option->count() > 0) {
        throw UsageError(
            "--at picks the calibration to print; --check and --correct look at "
            "every frame of --start..--end");
    }
    if (args.correct.empty() && (args.update_at || args.force)) {
        throw UsageError("--update-at and --force go with --correct");
    }
    if (!std::filesystem::is_regular_file(args.path)) {
        throw ExitError(EXIT_FAILED, "kelvo calibration: error: no such recording: " + args.path);
    }
    if (!args.correct.empty()) {
        refuse_same_file(args.path, args.correct, "--correct");
        refuse_existing_file(args.correct, args.force, "--correct");
    }
    catch_interrupts();
    const HealthCheckOptions options{.window_s = args.window_s};
    CalibrationHealthCheck check(options);
    auto replay = std::make_shared<MkvReplay>(
        args.path, MkvReplayOptions{.replay_mode = "every_frame", .loop = false});
    RangedReplay ranged(replay, args.range);
    const CameraInfo info = ranged.open();
    check.add_frames(ranged, info.width, info.height);
    ranged.close();
    if (interrupted()) return EXIT_INTERRUPTED;
    if (args.correct.empty()) {
        std::cout << check.report().to_json().dump(2) << "\n";
        return 0;
    }
    const CorrectionRun run =
        correct_recording(check, args.path, args.correct, args.update_at, options);
    std::cout << run.to_json().dump(2) << "\n";
    return 0;
}

Json matrix_json(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    Json rows = Json::array();
    for (int y = 0; y < d.rows; ++y) {
        Json row = Json::array();
        for (int x = 0; x < d.cols; ++x) row.push_back(d.at<double>(y, x));
        rows.push_back(std::move(row));
    }
    return rows;
}

int run_calibration(const CalibrationArgs& args) {
    if (args.check || !args.correct.empty()) return run_check(args);
    if (!args.range.start.empty() || !args.range.end.empty() || args.update_at || args.force ||
        args.window_s != 2.0) {
        throw UsageError(
            "--start, --end, --window, --update-at and --force go with --check or "
            "--correct");
    }
    if (!std::filesystem::is_regular_file(args.path)) {
        throw ExitError(EXIT_FAILED, "kelvo calibration: error: no such recording: " + args.path);
    }
    // Histories are read at open; no frame index is needed.
    MkvReplay replay(args.path,
                     {.replay_mode = "every_frame", .loop = false, .build_frame_index = false});
    replay.open();
    // The same choice the replay makes for a frame at that time: the last
    // update at or before it that builds, else the factory calibration.
    CalibrationPtr calibration = replay.base_calibration();
    std::optional<std::int64_t> since;
    for (const auto& [rel_us, payload] : replay.calibration_history()) {
        if (rel_us > args.at_us) break;
        try {
            calibration = Calibration::from_dict(payload);
            since = rel_us;
        } catch (const std::exception& e) {
            std::fprintf(stderr,
                         "kelvo calibration: warning: the update at %lld us does not build (%s); "
                         "the one before stays in force\n",
                         static_cast<long long>(rel_us), e.what());
        }
    }
    replay.close();
    if (!calibration) {
        throw ExitError(EXIT_FAILED, "kelvo calibration: " + args.path +
                                         " carries no calibration at " +
                                         std::to_string(args.at_us) + " us");
    }
    const HeightWidth size = calibration->image_size();
    const auto r = calibration->rectification(size);

    if (args.format == "json") {
        Json j;
        j["recording"] = args.path;
        j["at_us"] = args.at_us;
        j["origin"] = since ? "update" : "factory";
        j["in_force_since_us"] = since ? Json(*since) : Json(nullptr);
        j["calibration"] = calibration->to_dict();
        j["rectification"] = Json{{"image_size", {size.width, size.height}},
                                  {"R1", matrix_json(r->R1)},
                                  {"R2", matrix_json(r->R2)},
                                  {"P1", matrix_json(r->P1)},
                                  {"P2", matrix_json(r->P2)},
                                  {"Q", matrix_json(r->Q)},
                                  {"baseline_m", r->baseline_m}};
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    std::cout << calibration_opencv_yaml(
        *calibration,
        fmt::format("kelvo calibration of {} in force at {} us ({}); T in metres; "
                    "K/D per eye as cv::stereoRectify takes them, R1 R2 P1 P2 Q as it "
                    "gives them",
                    args.path, args.at_us,
                    since ? fmt::format("update at {} us", *since) : "factory"));
    return 0;
}

const bool calibration_registered = register_command({
    .name = "calibration",
    .summary = "print the calibration in force at a time, for OpenCV and ROS",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<CalibrationArgs>();
            app.add_option("REC", args->path, "the recording (.mkv)")->required();
            args->at_option =
                app.add_option("--at", args->at_us,
                               "recording time in microseconds from its start; the calibration in "
                               "force then (the factory one until the first update)")
                    ->type_name("US")
                    ->check(at_least(0))
                    ->capture_default_str();
            args->format_option =
                app.add_option("--format", args->format,
                               "json: the calibration with its rectification (R1, R2, P1, P2, Q); "
                               "opencv-yaml: the same as a cv::FileStorage YAML file")
                    ->type_name("json|opencv-yaml")
                    ->check(one_of({"json", "opencv-yaml"}))
                    ->capture_default_str();
            app.add_flag("--check", args->check,
                         "check the calibration in force without a board: features matched "
                         "between the rectified eyes, their vertical disparity per --window "
                         "and a verdict (good, can_improve, needs_recalibration, unknown)");
            app.add_option("--correct", args->correct,
                           "check, then write a copy of the recording with a correction of the "
                           "pair's rotation (and focal ratio where the matches support it) as a "
                           "calibration update; an existing file is refused unless --force")
                ->type_name("OUT.mkv");
            app.add_option("--start", args->range.start,
                           "with --check/--correct: first frame, a frame index or a time "
                           "(2.5s, 1500ms); default: the first frame")
                ->type_name("POS")
                ->check(position_check());
            app.add_option("--end", args->range.end,
                           "with --check/--correct: where to stop, not included; default: the end")
                ->type_name("POS")
                ->check(position_check());
            app.add_option("--window", args->window_s,
                           "with --check/--correct: length of each window, in seconds")
                ->type_name("S")
                ->check(CLI::Range(0.1, 3600.0))
                ->capture_default_str();
            app.add_option("--update-at", args->update_at,
                           "with --correct: recording time of the update, in microseconds; "
                           "default: the start of the first window that needs it")
                ->type_name("US")
                ->check(at_least(0));
            app.add_flag("--force", args->force, "with --correct: replace an existing OUT.mkv");
            return [args] { return run_calibration(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
