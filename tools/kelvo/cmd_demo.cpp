// `kelvo demo`: the main job end to end on an embedded default. Builds a
// short synthetic recording in the kit's own format (textured planes at known
// depths, exact ground-truth disparity, factory calibration, one calibration
// update and camera-state snapshots), replays it through the pipeline with a
// stereo back-end ("stereo-bm" unless asked), writes the disparity maps and
// reports speed and accuracy.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <set>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <opencv2/imgcodecs.hpp>

#include "cli.hpp"
#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/maps.hpp"
#include "kelvo/writers/safe_output.hpp"
#include "options.hpp"

namespace kelvo::cli {
namespace {

constexpr std::int64_t FRAME_US = 33333;

Json controls_snapshot(int step) {
    Json snapshot = Json::object();
    int n = 0;
    for (const auto& c : KELVO_CORVAN.platform_controls()) {
        if (c.kind != "number" || n++ >= 3) continue;
        // The second snapshot moves the first control by one step, as a user would.
        snapshot[c.name] = c.default_value + (n == 1 ? step * c.step : 0);
    }
    return snapshot;
}

std::filesystem::path record(const std::filesystem::path& dir, const detail::SyntheticScene& scene,
                             int frames) {
    const Json factory = detail::synthetic_calibration_dict(scene);
    Json info;
    info["os_id"] = "synthetic";
    info["sku"] = KELVO_CORVAN.skus->front();
    info["model_name"] = "Synthetic plane scene";
    info["serial"] = "DEMO-0001";
    info["base_calibration"] = factory;

    const auto path = dir / "demo.mkv";
    PendingFile file(path);
    MkvRecorder recorder({
        .path = file.path().string(),
        .width = 2 * scene.eye_size.width,
        .height = scene.eye_size.height,
        .camera_info_payload = info,
        .camera_controls = controls_snapshot(0),
        .camera_name = "Synthetic plane scene",
        .camera_serial = "DEMO-0001",
        .capture_mode_slug =
            fmt::format("{}x{}@30-MJPG", 2 * scene.eye_size.width, scene.eye_size.height),
        .source_fourcc = "MJPG",
        .t0_monotonic_ns_provider = [] { return std::optional<std::int64_t>(0); },
        .fps = 30.0,
        .queue_size = static_cast<std::size_t>(frames) + 8,
    });
    recorder.start();
    for (int i = 0; i < frames; ++i) {
        if (i == frames / 2) {
            // An online re-calibration part-way: the measured baseline is refined
            // (the geometry of the rectified pair, and so the disparity, stays).
            Json update = factory;
            update["T"][0] = -scene.baseline_m * 1.01;
            update["source"] = "online";
            recorder.write_calibration_update(update, i * FRAME_US);
            recorder.write_camera_state(controls_snapshot(1), i * FRAME_US);
        }
        auto frame = std::make_shared<RawFrame>();
        const auto rendered = detail::render_synthetic_frame(scene, i);
        std::vector<std::uint8_t> jpeg;
        cv::imencode(".jpg", rendered.side_by_side, jpeg, {cv::IMWRITE_JPEG_QUALITY, 92});
        frame->payload = std::move(jpeg);
        frame->pts_us = i * FRAME_US;
        frame->sequence = i + 1;
        recorder.feed(frame);
    }
    const RecordingResult result = recorder.stop();
    if (result.frames_written != frames) {
        throw RuntimeError(fmt::format("the demo recording holds {} of {} frames ({} dropped)",
                                       result.frames_written, frames, result.frames_dropped));
    }
    file.commit();
    return path;
}

struct DemoArgs {
    std::string out;
    long long frames = 30;
    std::string backend = "stereo-bm";
    bool force = false;
};

int run_demo(const DemoArgs& args) {
    const long long frames = args.frames;
    std::filesystem::path dir;
    if (!args.out.empty()) {
        dir = args.out;
    } else {
        dir = std::filesystem::temp_directory_path() / fmt::format("kelvo_demo_{}", ::getpid());
    }
    // Built before anything is written: a back-end that cannot run the demo
    // leaves no folder behind.
    const auto cls = inference_class(args.backend);
    // A classical back-end is cheap to build: one without a map (the
    // pass-through) is told apart by its instance.
    if (cls->kind == InferenceKind::mono ||
        (!cls->neural && cls->create(cls->variant(""), {})->is_passthrough())) {
        throw UsageError(fmt::format(
            "--backend {} gives no disparity map; the demo scores disparity: pick a stereo "
            "back-end (see `kelvo backends`)",
            args.backend));
    }
    const OutputFolder folder(dir, args.force, "--out");
    const OutputFolder maps(dir / "disparity", args.force, "--out");
    refuse_existing_file(dir / "demo.mkv", args.force, "--out");

    const auto scene = detail::default_synthetic_scene();
    fmt::print("kelvo demo: recording {} synthetic frames ({}x{} side by side, MJPEG)\n", frames,
               2 * scene.eye_size.width, scene.eye_size.height);
    std::fflush(stdout);
    const auto path = record(dir, scene, static_cast<int>(frames));

    auto source = std::make_shared<MkvReplay>(path, MkvReplayOptions{.replay_mode = "every_frame"});
    Pipeline pipeline({.source = source,
                       .backend = args.backend,
                       .queue_size = 4,
                       .block_when_full = true,
                       .stop_at_end = true,
                       .rectified_images = false});
    // Packets are kept and scored after the run, so the rate measured is the
    // pipeline's own (decode, rectify, match), not that of the scoring.
    std::vector<FramePacketPtr> packets;
    const auto t0 = std::chrono::steady_clock::now();
    pipeline.start();
    for (;;) {
        auto packet = pipeline.get_packet(1.0);
        if (packet) {
            packets.push_back(std::move(packet));
        } else if (pipeline.is_finished()) {
            break;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto stats = pipeline.stats();
    pipeline.stop();
    if (packets.empty()) throw RuntimeError("the demo recording gave no frames");

    const MapMeaning meaning = disparity_meaning(args.backend);
    std::set<const Calibration*> calibrations;
    std::int64_t valid = 0, considered = 0, bad = 0, wrong_all = 0;
    double error_sum = 0, error_sum_all = 0;
    for (const auto& packet : packets) {
        const int index = static_cast<int>(packet->source_frame_idx.value_or(packet->sequence - 1));
        const auto truth = detail::render_synthetic_frame(scene, index);
        const auto s = detail::score_disparity(packet->disparity, truth.disparity, truth.visible);
        valid += s.valid;
        considered += s.considered;
        error_sum += s.end_point_error * static_cast<double>(s.valid);
        bad += static_cast<std::int64_t>(std::llround(s.bad_2px * static_cast<double>(s.valid)));
        error_sum_all += s.end_point_error_all * static_cast<double>(s.considered);
        wrong_all += static_cast<std::int64_t>(
            std::llround(s.wrong_2px_all * static_cast<double>(s.considered)));
        calibrations.insert(packet->calibration.get());
        write_float_map(packet->disparity, dir / "disparity" / frame_stem("frame", index), meaning);
    }
    const auto emitted = static_cast<std::int64_t>(packets.size());

    fmt::print("recording:        {}\n", path.string());
    fmt::print("back-end:         {}, variant {}\n", args.backend, pipeline.variant().slug);
    fmt::print("frames:           {} ({} skipped)\n", emitted,
               stats.frames_undecodable + stats.frames_failed);
    fmt::print("frames/s:         {:.1f} (decode, rectify, match; {:.2f} s)\n",
               static_cast<double>(emitted) / seconds, seconds);
    fmt::print("calibrations:     {} applied\n", calibrations.size());
    fmt::print("end-point error:  {:.3f} px (over pixels with a valid estimate)\n",
               valid ? error_sum / static_cast<double>(valid) : 0.0);
    fmt::print("off by > 2 px:    {:.2f} % of valid estimates\n",
               valid ? 100.0 * static_cast<double>(bad) / static_cast<double>(valid) : 0.0);
    fmt::print(
        "valid pixels:     {:.1f} % (of pixels seen by both cameras)\n",
        considered ? 100.0 * static_cast<double>(valid) / static_cast<double>(considered) : 0.0);
    const double all = considered ? static_cast<double>(considered) : 1.0;
    fmt::print(
        "with holes:       end-point error {:.3f} px, off by > 2 px {:.2f} % (over every "
        "pixel seen by both cameras; a hole counts as disparity 0 and as off)\n",
        error_sum_all / all, 100.0 * static_cast<double>(wrong_all) / all);
    fmt::print("disparity maps:   {}\n", (dir / "disparity").string());
    return 0;
}

const bool demo_registered = register_command({
    .name = "demo",
    .summary = "record a synthetic scene, run a stereo back-end on it and report speed and "
               "accuracy",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<DemoArgs>();
            app.add_option("--out", args->out,
                           "folder for demo.mkv and the disparity maps (disparity/"
                           "frame_NNNNNN.tiff, pixels, with .png previews); default: a new "
                           "folder under the system's temporary folder; must be new or empty "
                           "unless --force")
                ->type_name("DIR");
            app.add_option("--frames", args->frames, "frames to record and process, 1..300")
                ->type_name("N")
                ->check(CLI::Validator(
                    [](std::string& text) -> std::string {
                        const auto n = parse_integer(text);
                        if (!n || *n < 1 || *n > 300) {
                            return "must be within 1..300; got '" + text + "'";
                        }
                        return {};
                    },
                    ""))
                ->capture_default_str();
            app.add_option("--backend", args->backend,
                           "registry key of a stereo back-end (see `kelvo backends`)")
                ->type_name("KEY")
                ->capture_default_str();
            app.add_flag("--force", args->force,
                         "replace the demo files of an earlier run in --out (other files are "
                         "kept)");
            return [args] { return run_demo(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
