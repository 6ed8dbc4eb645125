#include "batch.hpp"

#include <chrono>

#include <fmt/format.h>

#include "cli.hpp"
#include "console.hpp"
#include "kelvo/inference/base.hpp"
#include "kelvo/pipeline/history_recorder.hpp"
#include "kelvo/writers/maps.hpp"

namespace kelvo::cli {

BatchRun::BatchRun(std::string command, const std::filesystem::path& recording,
                   const BackendArgs& backend, const RangeArgs& range, bool rectified_images)
    : _command(std::move(command)), _recording(recording) {
    catch_interrupts();
    if (!std::filesystem::is_regular_file(recording)) {
        throw ExitError(EXIT_FAILED, fmt::format("kelvo {}: error: no such recording: {}", _command,
                                                 recording.string()));
    }
    const auto controls = parse_controls(backend.settings);
    _replay = std::make_shared<MkvReplay>(
        recording, MkvReplayOptions{.replay_mode = "every_frame", .loop = false});
    _source = std::make_shared<RangedReplay>(_replay, range);
    // Opened here rather than by the pipeline: a recording must be able to
    // start before the first frame is grabbed.
    _info = _source->open();
    _codec = probe_video_codec(recording);
    _pipeline = std::make_unique<Pipeline>(PipelineOptions{.source = _source,
                                                           .backend = backend.backend,
                                                           .variant = backend.variant,
                                                           .controls = controls,
                                                           .block_when_full = true,
                                                           .stop_at_end = true,
                                                           .manage_source = false,
                                                           .camera_info = _info,
                                                           .rectified_images = rectified_images});
    route_new_log_channels();
}

BatchRun::~BatchRun() {
    try {
        if (_pipeline) _pipeline->stop();
        if (_manager && _manager->is_running()) _manager->stop();
    } catch (const std::exception&) {
        // An error is already on its way out; the partial file is removed below.
    }
}

void BatchRun::record_to(const std::filesystem::path& path) {
    _record_file.emplace(path);
    const CameraInfo info = _info;
    _manager = std::make_shared<RecordingManager>(RecordingManagerOptions{
        .source = _source,
        .info_provider = [info] { return std::optional<CameraInfo>(info); },
        .camera_controls_provider = [] { return Json::object(); },
        .recorder_factory = history_recorder_factory(ReplayHistory::of(*_replay, _info.fps)),
    });
    _pipeline->set_recording_controller(_manager);
    _pipeline->start_recording(_record_file->path());
}

BatchOutcome BatchRun::run(const std::function<void(const FramePacket&)>& consume) {
    BatchOutcome outcome;
    Progress progress(_source->expected_frames());
    const auto t0 = std::chrono::steady_clock::now();
    _pipeline->start();
    for (;;) {
        const FramePacketPtr packet = _pipeline->get_packet(0.25);
        if (packet) {
            consume(*packet);
            ++outcome.frames;
            progress.update(outcome.frames);
        } else if (_pipeline->is_finished()) {
            break;
        }
    }
    progress.finish();
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    outcome.stats = _pipeline->stats();
    _pipeline->stop();
    if (_manager) {
        RecordingResult result = _pipeline->stop_recording();
        if (result.frames_written > 0) {
            _record_file->commit();
            result.path = _record_file->final_path().string();
            outcome.recording = result;
        } else {
            _record_file->discard();
        }
    }
    _source->close();
    outcome.interrupted = interrupted();
    return outcome;
}

std::string BatchRun::no_frame_reason(const BatchOutcome& outcome) const {
    const auto& s = outcome.stats;
    if (s.frames_grabbed == 0) {
        return _replay->frame_index().empty() ? "the recording holds no frame"
                                              : "no frame in the selected range";
    }
    if (s.frames_undecodable == s.frames_grabbed) {
        std::string reason = fmt::format("all {} frames failed to decode", s.frames_grabbed);
        if (_codec && !_codec->decodable) reason += ": " + undecodable_reason(*_codec);
        return reason;
    }
    return fmt::format(
        "all {} frames failed ({} did not decode, {} failed in the back-end; see "
        "the messages above)",
        s.frames_grabbed, s.frames_undecodable, s.frames_failed);
}

bool BatchRun::mono() const {
    return is_mono(*_pipeline);
}

bool BatchRun::metric_depth() const {
    return kelvo::metric_depth(*_pipeline);
}

void add_outcome(Json& run, const BatchOutcome& outcome) {
    run["file_index"] = "NNNNNN is the frame's source_frame_idx in the recording";
    run["frames"] = outcome.frames;
    run["frames_undecodable"] = outcome.stats.frames_undecodable;
    run["frames_failed"] = outcome.stats.frames_failed;
    run["seconds"] = outcome.seconds;
    run["interrupted"] = outcome.interrupted;
}

}  // namespace kelvo::cli
