// `kelvo export`: a recording's frames as files other tools read: the eyes
// as recorded and rectified (PNG), disparity (32-bit float TIFF, pixels),
// depth (16-bit PNG, millimetres) and coloured point clouds (PLY, metres),
// each computed with the calibration in force at that frame.
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "batch.hpp"
#include "cli.hpp"
#include "console.hpp"
#include "kelvo/json.hpp"
#include "kelvo/writers/maps.hpp"
#include "kelvo/writers/run_files.hpp"

namespace kelvo::cli {
namespace {

namespace fs = std::filesystem;

constexpr const char* WHAT_ITEMS[] = {"left",  "right", "rectified", "disparity",
                                      "depth", "ply",   "confidence"};

struct ExportArgs {
    std::string path;
    std::string what;
    std::string out;
    BackendArgs backend;
    RangeArgs range;
    bool force = false;
    bool json = false;
};

std::set<std::string> parse_what(const std::string& text) {
    std::set<std::string> out;
    std::stringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        if (std::find(std::begin(WHAT_ITEMS), std::end(WHAT_ITEMS), item) == std::end(WHAT_ITEMS)) {
            throw UsageError(fmt::format("--what takes a comma-separated list of {}; got '{}'",
                                         fmt::join(WHAT_ITEMS, ", "), item));
        }
        out.insert(item);
    }
    if (out.empty())
        throw UsageError("--what needs at least one of " +
                         fmt::format("{}", fmt::join(WHAT_ITEMS, ", ")));
    return out;
}

/// Raw frames delivered to the pipeline, kept until their packet comes out.
class RawFrames {
  public:
    void add(const FramePtr& frame) {
        std::lock_guard lock(_mutex);
        _frames[frame->sequence] = frame;
    }
    /// The frame of `sequence`; frames before it (skipped by the pipeline) are dropped.
    FramePtr take(std::int64_t sequence) {
        std::lock_guard lock(_mutex);
        FramePtr out;
        for (auto it = _frames.begin(); it != _frames.end() && it->first <= sequence;) {
            if (it->first == sequence) out = it->second;
            it = _frames.erase(it);
        }
        return out;
    }

  private:
    std::mutex _mutex;
    std::map<std::int64_t, FramePtr> _frames;
};

int run_export(const ExportArgs& args) {
    const auto what = parse_what(args.what);
    const auto wants = [&](const char* item) { return what.count(item) != 0; };
    const bool needs_maps =
        wants("disparity") || wants("depth") || wants("ply") || wants("confidence");
    BackendArgs backend = args.backend;
    if (backend.backend.empty()) backend.backend = needs_maps ? "stereo-bm" : "rectify-passthrough";
    const fs::path recording = args.path;
    const fs::path out =
        args.out.empty() ? fs::path(recording.stem().string() + "_export") : fs::path(args.out);

    // The colour eyes are written as images and give the point cloud its colours.
    BatchRun run("export", recording, backend, args.range, wants("rectified") || wants("ply"));
    const std::string key = run.pipeline().backend_key();
    const bool mono = run.mono();
    const bool passthrough = run.pipeline().backend().is_passthrough();
    if (needs_maps && passthrough) {
        throw UsageError(
            "--what disparity, depth, ply and confidence need a back-end that computes maps; " +
            key + " does not");
    }
    if (wants("disparity") && mono) {
        throw UsageError("--what disparity needs a stereo back-end; " + key + " is monocular");
    }
    if (wants("depth") && !run.metric_depth()) {
        throw UsageError("--what depth writes millimetres, which needs metric depth; " + key +
                         " gives relative depth");
    }
    const bool calibrated =
        run.replay().base_calibration() != nullptr || !run.replay().calibration_history().empty();
    if ((wants("depth") || wants("ply")) && !calibrated) {
        throw ExitError(EXIT_FAILED,
                        "kelvo export: --what depth and ply need the camera's calibration, and " +
                            recording.string() + " carries none");
    }
    const CalibrationNames calibrations(run.replay());
    RawFrames raw;
    if (wants("left") || wants("right")) {
        run.source().set_on_frame([&raw](const FramePtr& frame) { raw.add(frame); });
    }
    const MapMeaning disparity = disparity_meaning(key);

    OutputFolder folder(out, args.force, "--out");
    FramesCsv csv(out, {"sequence", "pts_us", "source_frame_idx", "files", "calibration"});
    std::int64_t points = 0, unrectified = 0;
    const BatchOutcome outcome = run.run([&](const FramePacket& packet) {
        const long long index = file_index(packet.source_frame_idx, packet.sequence);
        std::vector<std::string> files;
        const auto name = [&](std::string_view kind, const char* ext) {
            files.push_back(frame_stem(kind, index) + ext);
            return out / files.back();
        };
        if (wants("left") || wants("right")) {
            if (const FramePtr frame = raw.take(packet.sequence)) {
                const cv::Mat image = run.replay().decode_to_bgr(
                    frame->payload, run.camera_info().width, run.camera_info().height);
                const int eye = image.cols / 2;
                if (wants("left"))
                    write_png(image(cv::Rect(0, 0, eye, image.rows)), name("left", ".png"));
                if (wants("right"))
                    write_png(image(cv::Rect(eye, 0, eye, image.rows)), name("right", ".png"));
            }
        }
        if (wants("rectified")) {
            write_png(packet.rectified_left, name("rectified_left", ".png"));
            if (!packet.rectified_right.empty()) {
                write_png(packet.rectified_right, name("rectified_right", ".png"));
            }
        }
        if (wants("disparity") && !packet.disparity.empty()) {
            write_float_tiff(packet.disparity, name("disparity", ".tiff"), disparity.description);
        }
        if (wants("confidence") && !packet.confidence.empty()) {
            write_png(packet.confidence, name("confidence", ".png"));
        }
        if ((wants("depth") || wants("ply")) && (!packet.calibration || packet.depth.empty())) {
            ++unrectified;  // no calibration in force yet at this frame
        } else {
            if (wants("depth")) write_depth_mm_png(packet.depth, name("depth", ".png"));
            if (wants("ply")) {
                points +=
                    write_packet_ply(packet, name("cloud", ".ply"),
                                     fmt::format("kelvo export: frame {} at {} us, back-end {}",
                                                 index, packet.pts_us, key));
            }
        }
        csv.row({std::to_string(packet.sequence), std::to_string(packet.pts_us),
                 packet.source_frame_idx ? std::to_string(*packet.source_frame_idx) : "",
                 fmt::format("{}", fmt::join(files, " ")),
                 calibrations.at(packet.pts_us, packet.calibration != nullptr)});
    });

    if (outcome.frames > 0) {
        csv.commit();
        Json j = run_json("export", recording, run.pipeline(), calibrations, args.range);
        j["what"] = std::vector<std::string>(what.begin(), what.end());
        Json files = Json::object();
        if (wants("left")) files["left_NNNNNN.png"] = "left eye as recorded, 8-bit BGR";
        if (wants("right")) files["right_NNNNNN.png"] = "right eye as recorded, 8-bit BGR";
        if (wants("rectified")) {
            files["rectified_left_NNNNNN.png"] = "left eye rectified, 8-bit BGR";
            files["rectified_right_NNNNNN.png"] = "right eye rectified, 8-bit BGR";
        }
        if (wants("disparity")) files["disparity_NNNNNN.tiff"] = disparity.description;
        if (wants("depth")) {
            files["depth_NNNNNN.png"] =
                "depth along the optical axis of the left rectified eye, 16-bit millimetres; 0 = "
                "no estimate or beyond 65.535 m";
        }
        if (wants("ply")) {
            files["cloud_NNNNNN.ply"] =
                "binary PLY: x right, y down, z forward in metres in the rectified left camera, "
                "coloured from the rectified left eye";
        }
        if (wants("confidence")) files["confidence_NNNNNN.png"] = CONFIDENCE_FORMAT;
        j["files"] = std::move(files);
        add_outcome(j, outcome);
        write_file_atomically(out / "run.json", j.dump(2) + "\n");
    } else {
        csv.discard();
    }
    folder.remove_if_unused();

    if (unrectified > 0) {
        note(
            fmt::format("kelvo export: {} frames had no calibration in force; no depth or point "
                        "cloud for them",
                        unrectified));
    }
    if (args.json) {
        Json summary;
        summary["frames"] = outcome.frames;
        summary["seconds"] = outcome.seconds;
        summary["what"] = std::vector<std::string>(what.begin(), what.end());
        summary["backend"] = key;
        summary["variant"] = run.pipeline().variant().slug;
        summary["out"] = fs::absolute(out).string();
        if (wants("ply")) summary["points"] = points;
        std::cout << summary.dump() << "\n";
    } else {
        fmt::print("exported {} frames ({}) in {:.2f} s with {} {} -> {}\n", outcome.frames,
                   fmt::join(what, ","), outcome.seconds, key, run.pipeline().variant().slug,
                   out.string());
    }
    std::fflush(stdout);
    if (outcome.interrupted) return EXIT_INTERRUPTED;
    if (outcome.frames == 0) {
        throw ExitError(EXIT_FAILED,
                        "kelvo export: nothing exported: " + run.no_frame_reason(outcome));
    }
    return 0;
}

const bool export_registered = register_command({
    .name = "export",
    .summary = "write a recording's eyes, disparity, depth and point clouds as PNG/TIFF/PLY",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<ExportArgs>();
            app.add_option("REC", args->path, "the recording (.mkv)")->required();
            app.add_option("--what", args->what,
                           "comma-separated: left, right (eyes as recorded, PNG), rectified "
                           "(PNG), disparity (float TIFF, pixels), depth (16-bit PNG, "
                           "millimetres), ply (coloured point cloud, metres), confidence (8-bit "
                           "PNG, 0 = no estimate up to 255)")
                ->type_name("LIST")
                ->required();
            app.add_option("--out", args->out,
                           "folder for the files, frames.csv and run.json; default: <REC "
                           "name>_export in the current folder; must be new or empty unless "
                           "--force")
                ->type_name("DIR");
            add_backend_options(app, args->backend, /*backend_required=*/false,
                                "stereo-bm when maps are asked for, else rectify-passthrough");
            add_range_options(app, args->range);
            app.add_flag("--force", args->force,
                         "replace the files of an earlier run in --out (other files there are "
                         "kept)");
            app.add_flag("--json", args->json,
                         "print the summary as JSON: frames, seconds, what, backend, variant, "
                         "out (and points with ply)");
            return [args] { return run_export(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
