// `kelvo depth`: runs a recording through a depth back-end frame by frame and
// writes one map per frame, named by what it holds (disparity_NNNNNN.tiff in
// pixels, depth_NNNNNN.tiff in metres or relative units) with a preview, plus
// frames.csv and run.json that explain them.
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "batch.hpp"
#include "cli.hpp"
#include "kelvo/json.hpp"
#include "kelvo/writers/maps.hpp"
#include "kelvo/writers/run_files.hpp"

namespace kelvo::cli {
namespace {

namespace fs = std::filesystem;

struct DepthArgs {
    std::string path;
    BackendArgs backend;
    std::string out;
    RangeArgs range;
    std::string record;
    bool force = false;
    bool json = false;
};

std::string number_cell(double value, bool valid) {
    return valid ? fmt::format("{:.6g}", value) : std::string();
}

int run_depth(const DepthArgs& args) {
    const fs::path recording = args.path;
    const fs::path out =
        args.out.empty() ? fs::path(recording.stem().string() + "_depth") : fs::path(args.out);
    if (!args.record.empty()) {
        refuse_same_file(recording, args.record, "--record");
        refuse_existing_file(args.record, args.force, "--record");
    }
    BatchRun run("depth", recording, args.backend, args.range);
    const std::string backend = run.pipeline().backend_key();
    const bool mono = run.mono();
    const MapMeaning meaning = map_meaning(run.pipeline());
    const CalibrationNames calibrations(run.replay());

    OutputFolder folder(out, args.force, "--out");
    try {
        if (!args.record.empty()) run.record_to(args.record);
    } catch (...) {
        folder.remove_if_unused();
        throw;
    }
    FramesCsv csv(out, {"sequence", "pts_us", "source_frame_idx", "file", "calibration",
                        "preview_min", "preview_max", "confidence"});
    std::string written_kind;
    const BatchOutcome outcome = run.run([&](const FramePacket& packet) {
        const long long index = file_index(packet.source_frame_idx, packet.sequence);
        std::string file, confidence;
        PreviewScale scale;
        const cv::Mat& map = mono ? packet.depth : packet.disparity;
        if (!map.empty()) {
            const std::string stem = frame_stem(meaning.kind, index);
            scale = write_float_map(map, out / stem, meaning);
            file = stem + ".tiff";
            written_kind = meaning.kind;
            if (!packet.confidence.empty()) {
                confidence = frame_stem("confidence", index) + ".png";
                write_png(packet.confidence, out / confidence);
            }
        } else {
            // The pass-through: the rectified pair is all there is.
            file = frame_stem("rectified_left", index) + ".png";
            write_png(packet.rectified_left, out / file);
            write_png(packet.rectified_right,
                      out / (frame_stem("rectified_right", index) + ".png"));
            written_kind = "rectified";
        }
        csv.row({std::to_string(packet.sequence), std::to_string(packet.pts_us),
                 packet.source_frame_idx ? std::to_string(*packet.source_frame_idx) : "", file,
                 calibrations.at(packet.pts_us, packet.calibration != nullptr),
                 number_cell(scale.lo, scale.any_valid), number_cell(scale.hi, scale.any_valid),
                 confidence});
    });

    if (outcome.frames > 0) {
        csv.commit();
        Json j = run_json("depth", recording, run.pipeline(), calibrations, args.range);
        if (written_kind == "rectified") {
            j["maps"] = Json{{"kind", "rectified"},
                             {"files", "rectified_left_NNNNNN.png, rectified_right_NNNNNN.png"}};
        } else {
            j["maps"] = Json{{"kind", meaning.kind},
                             {"unit", meaning.unit},
                             {"files", meaning.kind + "_NNNNNN.tiff"},
                             {"format", "32-bit float TIFF, NaN = no estimate"},
                             {"previews", meaning.kind + "_NNNNNN.png"},
                             {"preview_scale",
                              "turbo colour map from the smallest (blue) to the largest (red) "
                              "valid value of each frame, printed on the colour bar and in "
                              "frames.csv; black = no estimate"},
                             {"confidence", Json{{"files", "confidence_NNNNNN.png"},
                                                 {"format", CONFIDENCE_FORMAT}}}};
        }
        add_outcome(j, outcome);
        j["recording_copy"] = outcome.recording
                                  ? Json(fs::absolute(outcome.recording->path).string())
                                  : Json(nullptr);
        write_file_atomically(out / "run.json", j.dump(2) + "\n");
    } else {
        csv.discard();
    }
    folder.remove_if_unused();

    const double fps = outcome.seconds > 0 ? outcome.frames / outcome.seconds : 0.0;
    if (args.json) {
        Json summary;
        summary["frames"] = outcome.frames;
        summary["seconds"] = outcome.seconds;
        summary["fps"] = fps;
        summary["backend"] = backend;
        summary["variant"] = run.pipeline().variant().slug;
        summary["out"] = fs::absolute(out).string();
        if (outcome.recording) summary["recording"] = outcome.recording->to_json();
        std::cout << summary.dump() << "\n";
    } else {
        fmt::print("{} frames in {:.2f} s ({:.1f} fps) with {} {} -> {}\n", outcome.frames,
                   outcome.seconds, fps, backend, run.pipeline().variant().slug, out.string());
        if (outcome.recording) {
            fmt::print("recorded {} frames ({} dropped, {:.2f} s) -> {}\n",
                       outcome.recording->frames_written, outcome.recording->frames_dropped,
                       outcome.recording->duration_us / 1e6, outcome.recording->path);
        }
    }
    std::fflush(stdout);
    const auto& s = outcome.stats;
    if (outcome.frames > 0 && (s.frames_undecodable > 0 || s.frames_failed > 0)) {
        std::fprintf(stderr, "kelvo depth: %lld frames did not decode, %lld failed (skipped)\n",
                     static_cast<long long>(s.frames_undecodable),
                     static_cast<long long>(s.frames_failed));
    }
    if (outcome.interrupted) return EXIT_INTERRUPTED;
    if (outcome.frames == 0) {
        throw ExitError(EXIT_FAILED,
                        "kelvo depth: no map written: " + run.no_frame_reason(outcome));
    }
    return 0;
}

const bool depth_registered = register_command({
    .name = "depth",
    .summary = "run a recording through a depth back-end, one map per frame",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<DepthArgs>();
            app.add_option("REC", args->path, "the recording (.mkv)")->required();
            add_backend_options(app, args->backend, /*backend_required=*/true);
            app.add_option("--out", args->out,
                           "folder for the maps, frames.csv and run.json; default: "
                           "<REC name>_depth in the current folder; must be new or empty "
                           "unless --force")
                ->type_name("DIR");
            add_range_options(app, args->range);
            app.add_option("--record", args->record,
                           "also record the source frames the run processes (not the maps) to "
                           "this new Matroska file, with the source's calibration and "
                           "camera-state history")
                ->type_name("OUT.mkv");
            app.add_flag("--force", args->force,
                         "replace an existing --record file, and the maps of an earlier run in "
                         "--out (other files there are kept)");
            app.add_flag("--json", args->json,
                         "print the summary as JSON: frames, seconds, fps, backend, variant, "
                         "out (and recording with --record)");
            return [args] { return run_depth(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
