// `kelvo depth`: runs a recording through the pipeline as fast as possible
// and writes one disparity (or depth) map per frame.
#include <chrono>
#include <iostream>
#include <limits>

#include <fmt/format.h>

#include "cli.hpp"
#include "depth_maps.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "kelvo/sources/mkv_replay.hpp"

namespace kelvo::cli {
namespace {

std::pair<std::string, int> parse_set(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw UsageError("--set expects NAME=VALUE; got '" + text + "'");
    }
    const std::string name = text.substr(0, eq), value = text.substr(eq + 1);
    const auto out = parse_integer(value);
    if (!out || *out < std::numeric_limits<int>::min() || *out > std::numeric_limits<int>::max()) {
        throw UsageError("--set " + name + " expects an integer value; got '" + value + "'");
    }
    return {name, static_cast<int>(*out)};
}

int run_depth(const Args& args) {
    const std::filesystem::path recording = args.positional.at(0);
    const auto backend = args.value("--backend");
    if (!backend) throw UsageError("--backend is required (see `kelvo backends`)");
    const std::string variant = args.value("--variant").value_or("");
    std::vector<std::pair<std::string, int>> controls;
    for (const auto& s : args.all("--set")) controls.push_back(parse_set(s));
    const long long max_frames = args.integer("--max-frames", 0);
    if (max_frames < 0) throw UsageError("--max-frames must not be negative");
    const std::filesystem::path out =
        args.value("--out").value_or(recording.stem().string() + "_depth");
    const bool json = args.flag("--json");
    const std::optional<std::string> record = args.value("--record");
    if (record && record->empty()) throw UsageError("--record expects a file name");
    if (!std::filesystem::is_regular_file(recording)) {
        throw ExitError(1, "kelvo depth: error: no such recording: " + recording.string());
    }

    auto source = std::make_shared<MkvReplay>(
        recording, MkvReplayOptions{.replay_mode = "every_frame", .loop = false});
    // With --record the recording starts before the first frame is grabbed,
    // so the source is opened here rather than by the pipeline's start().
    std::optional<CameraInfo> opened;
    if (record) opened = source->open();
    std::unique_ptr<Pipeline> pipeline;
    try {
        pipeline = std::make_unique<Pipeline>(PipelineOptions{.source = source,
                                                              .backend = *backend,
                                                              .variant = variant,
                                                              .controls = controls,
                                                              .block_when_full = true,
                                                              .stop_at_end = true,
                                                              .manage_source = !record,
                                                              .camera_info = opened});
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    if (record) {
        Pipeline* p = pipeline.get();
        pipeline->set_recording_controller(std::make_shared<RecordingManager>(
            RecordingManagerOptions{.source = source,
                                    .info_provider = [p] { return p->camera_info(); },
                                    .camera_controls_provider = [] { return Json::object(); }}));
        pipeline->start_recording(*record);
    }
    std::filesystem::create_directories(out);
    const bool progress = !json && stdout_is_terminal();
    const auto t0 = std::chrono::steady_clock::now();
    pipeline->start();  // opens the recording and builds its frame index
    long long total = static_cast<long long>(source->frame_index().size());
    if (max_frames > 0 && (total == 0 || max_frames < total)) total = max_frames;
    long long frames = 0;
    while (max_frames == 0 || frames < max_frames) {
        auto packet = pipeline->get_packet(1.0);
        if (!packet) {
            if (pipeline->is_finished()) break;
            continue;
        }
        const long long index =
            packet->source_frame_idx ? *packet->source_frame_idx : packet->sequence - 1;
        const auto stem = out / frame_stem(index);
        if (!packet->disparity.empty()) {
            write_float_map(packet->disparity, stem);
        } else if (!packet->depth.empty()) {
            write_float_map(packet->depth, stem);
        } else {
            // The pass-through: the rectified pair is all there is.
            cv::imwrite(stem.string() + "_left.png", packet->rectified_left);
            cv::imwrite(stem.string() + "_right.png", packet->rectified_right);
        }
        ++frames;
        if (progress) {
            const double s =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            draw_progress(frames, total, s > 0 ? frames / s : 0.0);
        }
    }
    pipeline->stop();
    std::optional<RecordingResult> recorded;
    if (record) {
        recorded = pipeline->stop_recording();
        source->close();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double fps = seconds > 0 ? frames / seconds : 0.0;
    if (progress) std::fprintf(stdout, "\n");
    if (json) {
        Json summary;
        summary["frames"] = frames;
        summary["seconds"] = seconds;
        summary["fps"] = fps;
        summary["backend"] = pipeline->backend_key();
        summary["variant"] = pipeline->variant().slug;
        summary["out"] = std::filesystem::absolute(out).string();
        if (recorded) summary["recording"] = recorded->to_json();
        std::cout << summary.dump() << "\n";
    } else {
        fmt::print("{} frames in {:.2f} s ({:.1f} fps) with {} {} -> {}\n", frames, seconds, fps,
                   pipeline->backend_key(), pipeline->variant().slug, out.string());
        if (recorded) {
            fmt::print("recorded {} frames ({} dropped, {:.2f} s) -> {}\n",
                       recorded->frames_written, recorded->frames_dropped,
                       recorded->duration_us / 1e6, recorded->path);
        }
    }
    const auto stats = pipeline->stats();
    if (stats.frames_undecodable > 0 || stats.frames_failed > 0) {
        std::fprintf(stderr, "kelvo depth: %lld frames did not decode, %lld failed (skipped)\n",
                     static_cast<long long>(stats.frames_undecodable),
                     static_cast<long long>(stats.frames_failed));
    }
    return 0;
}

const bool registered = register_command({
    .name = "depth",
    .usage = "depth REC --backend KEY [--variant SLUG] [--set NAME=VALUE]... [--out DIR] "
             "[--max-frames N] [--record OUT.mkv] [--json]",
    .summary = "run a recording through a depth back-end, one map per frame",
    .value_options = {"--backend", "--variant", "--set", "--out", "--max-frames", "--record"},
    .flag_options = {"--json"},
    .min_positional = 1,
    .max_positional = 1,
    .run = run_depth,
});

}  // namespace
}  // namespace kelvo::cli
