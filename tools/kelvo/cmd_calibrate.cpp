// `kelvo calibrate`: a stereo calibration from views of a board (a recording
// of it, or image pairs), with a report and a verdict: a poor result exits 1
// with its reasons and writes no calibration file.
#include <cmath>
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "console.hpp"
#include "frame_range.hpp"
#include "interrupt.hpp"
#include "kelvo/calibration/board_calibration.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/safe_output.hpp"
#include "options.hpp"

namespace kelvo::cli {
namespace {

struct CalibrateArgs {
    std::string recording;
    std::string pairs, left, right;
    std::string board;
    double square = 0;
    std::optional<double> marker;
    std::string out;
    RangeArgs range;
    bool json = false;
    bool force = false;
};

std::vector<std::filesystem::path> files_of(const std::string& pattern, const char* option) {
    auto files = glob_files(pattern);
    if (files.empty()) throw UsageError(fmt::format("{} {} matches no file", option, pattern));
    return files;
}

int run_calibrate(const CalibrateArgs& args) {
    const int inputs = (args.recording.empty() ? 0 : 1) + (args.pairs.empty() ? 0 : 1) +
                       (args.left.empty() && args.right.empty() ? 0 : 1);
    if (inputs != 1) {
        throw UsageError("give one of: a recording REC, --pairs GLOB, or --left GLOB --right GLOB");
    }
    if (args.left.empty() != args.right.empty()) {
        throw UsageError("--left and --right go together");
    }
    if (args.recording.empty() && (!args.range.start.empty() || !args.range.end.empty() ||
                                   args.range.every != 1 || args.range.max_frames != 0)) {
        throw UsageError("--start, --end, --every and --max-frames select frames of a recording");
    }
    CalibrationBoard board;
    try {
        board = CalibrationBoard::parse(args.board, args.square, args.marker);
    } catch (const std::invalid_argument& e) {
        throw UsageError(fmt::format("--board {}: {}", args.board, e.what()));
    }
    std::vector<std::filesystem::path> pairs, lefts, rights;
    if (!args.pairs.empty()) pairs = files_of(args.pairs, "--pairs");
    if (!args.left.empty()) {
        lefts = files_of(args.left, "--left");
        rights = files_of(args.right, "--right");
        if (lefts.size() != rights.size()) {
            throw UsageError(fmt::format(
                "--left matches {} files and --right {}; they are paired by sorted name",
                lefts.size(), rights.size()));
        }
    }
    if (!args.recording.empty() && !std::filesystem::is_regular_file(args.recording)) {
        throw ExitError(EXIT_FAILED,
                        "kelvo calibrate: error: no such recording: " + args.recording);
    }
    const OutputFolder folder(args.out, args.force, "--out");

    BoardCalibrator calibrator(board);
    try {
        if (!args.recording.empty()) {
            catch_interrupts();
            auto replay = std::make_shared<MkvReplay>(
                args.recording, MkvReplayOptions{.replay_mode = "every_frame", .loop = false});
            RangedReplay ranged(replay, args.range);
            const CameraInfo info = ranged.open();
            note(fmt::format("kelvo calibrate: looking for the board in {}", args.recording));
            calibrator.add_frames(ranged, info.width, info.height);
            ranged.close();
            if (interrupted()) {
                folder.remove_if_unused();
                return EXIT_INTERRUPTED;
            }
        } else if (!pairs.empty()) {
            add_image_views(calibrator, pairs);
        } else {
            add_image_views(calibrator, lefts, rights);
        }
    } catch (...) {
        // An image that does not read, or views of differing sizes: nothing written.
        folder.remove_if_unused();
        throw;
    }
    const BoardCalibrationResult result = calibrator.calibrate();
    write_calibration_outputs(result, folder.path());

    const Json& r = result.report;
    if (args.json) {
        std::cout << r.dump(2) << "\n";
    } else {
        fmt::print("{} views considered, {} used, {} rejected\n",
                   r["views_considered"].get<long long>(), r["views_used"].get<int>(),
                   r["views_rejected"].get<int>());
        for (const auto& v : r["per_view"]) {
            if (!v["reason"].is_null() && !v["left_px"].is_null()) {
                fmt::print("  rejected {}: {}\n", v["view"].get<std::string>(),
                           v["reason"].get<std::string>());
            }
        }
        if (!r["rms_px"].is_null()) {
            fmt::print(
                "stereo RMS {} px, rectified rows apart {} px mean, {} px p95; focal {} px, "
                "baseline {} m\n",
                r["rms_px"].dump(), r["epipolar_mean_px"].dump(), r["epipolar_p95_px"].dump(),
                r["focal_px"].dump(), r["baseline_m"].dump());
        }
        if (result.good()) {
            fmt::print("calibration written to {}\n",
                       (folder.path() / "calibration.json").string());
        }
    }
    if (result.good()) return 0;
    std::string reasons;
    for (const auto& p : result.problems) reasons += "\n  - " + p;
    throw ExitError(EXIT_FAILED,
                    fmt::format("kelvo calibrate: the calibration is poor; no calibration file "
                                "written (see {}):{}",
                                (folder.path() / "report.json").string(), reasons));
}

CLI::Validator positive_metres() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const auto v = parse_number(text);
            if (!v || !std::isfinite(*v) || *v <= 0) {
                return "expects a positive number of metres; got '" + text + "'";
            }
            return {};
        },
        "");
}

const bool calibrate_registered = register_command({
    .name = "calibrate",
    .summary = "calibrate a stereo camera from views of a chessboard or ChArUco board",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<CalibrateArgs>();
            app.add_option("REC", args->recording,
                           "a recording of the board (.mkv); every frame of the range is "
                           "considered");
            app.add_option("--pairs", args->pairs,
                           "side-by-side images of the board (a glob such as 'shots/*.png')")
                ->type_name("GLOB");
            app.add_option("--left", args->left,
                           "left-eye images (a glob), paired with --right by sorted name")
                ->type_name("GLOB");
            app.add_option("--right", args->right,
                           "right-eye images (a glob), paired with --left by sorted name")
                ->type_name("GLOB");
            app.add_option("--board", args->board,
                           "chessboard:COLSxROWS (inner corners) or charuco:COLSxROWS:DICT "
                           "(squares, DICT an OpenCV dictionary such as DICT_5X5_100)")
                ->type_name("SPEC")
                ->required();
            app.add_option("--square", args->square, "side of one square, in metres")
                ->type_name("METRES")
                ->check(positive_metres())
                ->required();
            app.add_option("--marker", args->marker,
                           "side of one ArUco marker, in metres (ChArUco boards)")
                ->type_name("METRES")
                ->check(positive_metres());
            app.add_option("--out", args->out,
                           "folder for calibration.json, calibration.yaml and report.json; a "
                           "non-empty one is refused unless --force")
                ->type_name("DIR")
                ->required();
            add_range_options(app, args->range);
            app.add_flag("--json", args->json, "print report.json to standard output");
            app.add_flag("--force", args->force,
                         "write into a non-empty --out folder, replacing an earlier calibration");
            return [args] { return run_calibrate(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
