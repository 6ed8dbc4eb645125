// Recording from a running pipeline: the frames the worker processes go into
// a new recording that replays with the same payloads, times relative to the
// first recorded frame, pauses and calibration updates.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <opencv2/imgcodecs.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "kelvo/sources/forwarding_source.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"

namespace kelvo {
namespace {

constexpr int FRAMES = 12;
constexpr std::int64_t ORIGIN_US = 7'000'000;
constexpr std::int64_t STEP_US = 33'000;

/// Writes a small recording with MkvRecorder; returns the fed payloads.
std::vector<std::vector<std::uint8_t>> make_recording(const std::filesystem::path& path) {
    MkvRecorder recorder(
        {.path = path.string(),
         .width = 64,
         .height = 32,
         .camera_info_payload = {{"os_id", "/dev/video3"},
                                 {"sku", testing::KNOWN_SKU},
                                 {"model_name", "Corvan Regular"},
                                 {"serial", "PR-7"},
                                 {"base_calibration", testing::calibration_dict(450)}},
         .camera_name = "Corvan Regular",
         .camera_serial = "PR-7",
         .capture_mode_slug = "64x32@30-MJPG",
         .fps = 30.0});
    recorder.start();
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < FRAMES; ++i) {
        auto frame = std::make_shared<RawFrame>();
        cv::Mat image(32, 64, CV_8UC3, cv::Scalar(i * 20, 255 - i * 20, (i * 37) % 256));
        std::vector<std::uint8_t> jpeg;
        cv::imencode(".jpg", image, jpeg);
        frame->payload = std::move(jpeg);
        frame->pts_us = ORIGIN_US + i * STEP_US;
        frame->sequence = i + 1;
        payloads.push_back(frame->payload.to_vector());
        recorder.feed(frame);
    }
    EXPECT_EQ(recorder.stop().frames_written, FRAMES);
    return payloads;
}

struct Replayed {
    std::vector<std::int64_t> pts_us;
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<std::pair<std::int64_t, Json>> calibration_history;
    std::optional<Json> camera_info;
};

Replayed replay_all(const std::filesystem::path& path) {
    MkvReplay replay(path, {.replay_mode = "every_frame"});
    replay.open();
    Replayed out;
    while (FramePtr f = replay.grab()) {
        out.pts_us.push_back(f->pts_us);
        out.payloads.push_back(f->payload.to_vector());
    }
    out.calibration_history = replay.calibration_history();
    out.camera_info = replay.embedded_camera_info();
    return out;
}

/// Hands out the frames of a real replay only as the test allows, so the
/// test knows exactly which frames the worker has fed when it acts.
class GatedSource : public ForwardingSource {
  public:
    explicit GatedSource(std::shared_ptr<MkvReplay> replay) : ForwardingSource(std::move(replay)) {}

    FramePtr grab(double timeout) override {
        std::unique_lock lock(_mutex);
        ++_waiting;
        _cv.notify_all();
        const bool go = _cv.wait_for(lock, std::chrono::duration<double>(timeout),
                                     [&] { return _handed < _allowed; });
        --_waiting;
        if (!go) return nullptr;
        ++_handed;
        lock.unlock();
        return inner()->grab(timeout);
    }

    /// Lets `n` more frames through and waits until the worker has taken
    /// them and asks for the next one (so each of them has been fed).
    bool release_and_wait(int n) {
        std::unique_lock lock(_mutex);
        _allowed += n;
        _cv.notify_all();
        return _cv.wait_for(lock, std::chrono::seconds(30),
                            [&] { return _handed == _allowed && _waiting > 0; });
    }

  private:
    std::mutex _mutex;
    std::condition_variable _cv;
    int _allowed = 0, _handed = 0, _waiting = 0;
};

std::shared_ptr<RecordingManager> make_manager(Pipeline& pipeline) {
    Pipeline* p = &pipeline;
    return std::make_shared<RecordingManager>(
        RecordingManagerOptions{.source = pipeline.source(),
                                .info_provider = [p] { return p->camera_info(); },
                                .camera_controls_provider = [] { return Json::object(); }});
}

TEST(PipelineRecording, EveryFrameReplayRecordsEachFrameOnceRelativeToTheFirst) {
    testing::TempDir dir("pipeline_recording");
    const auto src_path = dir / "source.mkv";
    const auto payloads = make_recording(src_path);

    auto source =
        std::make_shared<MkvReplay>(src_path, MkvReplayOptions{.replay_mode = "every_frame"});
    const CameraInfo info = source->open();
    Pipeline pipeline({.source = source,
                       .backend = "stereo-bm",
                       .queue_size = 0,
                       .stop_at_end = true,
                       .manage_source = false,
                       .camera_info = info});
    pipeline.set_recording_controller(make_manager(pipeline));
    EXPECT_FALSE(pipeline.recording_status());
    const auto out_path = dir / "copy.mkv";
    pipeline.start_recording(out_path, Json{{"exposure", 120}});
    EXPECT_THROW(pipeline.start_recording(dir / "other.mkv"), RuntimeError);
    ASSERT_TRUE(pipeline.recording_status());
    EXPECT_TRUE(pipeline.recording_status()->is_running);
    pipeline.start();
    ASSERT_TRUE(pipeline.wait_finished(120.0));
    pipeline.stop();
    const RecordingResult result = pipeline.stop_recording();
    source->close();
    EXPECT_EQ(result.frames_written, FRAMES);
    EXPECT_EQ(result.frames_dropped, 0);
    EXPECT_THROW(pipeline.stop_recording(), RuntimeError);

    const Replayed copy = replay_all(out_path);
    ASSERT_EQ(copy.payloads.size(), payloads.size());
    for (int i = 0; i < FRAMES; ++i) {
        EXPECT_EQ(copy.payloads[i], payloads[i]) << i;
        EXPECT_EQ(copy.pts_us[i], i * STEP_US) << i;
    }
    // The camera description comes from the pipeline's camera information and
    // the source's base calibration.
    ASSERT_TRUE(copy.camera_info);
    EXPECT_EQ(copy.camera_info->value("serial", ""), "PR-7");
    EXPECT_EQ(copy.camera_info->value("model_name", ""), "Corvan Regular");
    EXPECT_EQ(copy.camera_info->value("sku", ""), testing::KNOWN_SKU);
    EXPECT_EQ(copy.camera_info->at("base_calibration"), testing::calibration_dict(450));
}

TEST(PipelineRecording, PauseWritesNothingAndCalibrationUpdatesArrive) {
    testing::TempDir dir("pipeline_recording_pause");
    const auto src_path = dir / "source.mkv";
    const auto payloads = make_recording(src_path);

    auto replay =
        std::make_shared<MkvReplay>(src_path, MkvReplayOptions{.replay_mode = "every_frame"});
    auto gated = std::make_shared<GatedSource>(replay);
    Pipeline pipeline({.source = gated, .backend = "stereo-bm", .queue_size = 0});
    // Without a controller the recording calls fail clearly.
    EXPECT_THROW(pipeline.start_recording(dir / "none.mkv"), RuntimeError);
    EXPECT_THROW(pipeline.stop_recording(), RuntimeError);
    pipeline.write_calibration_update(testing::calibration_dict(400), 0);  // nothing to do

    pipeline.set_recording_controller(make_manager(pipeline));
    pipeline.start();
    const auto out_path = dir / "paused.mkv";
    pipeline.start_recording(out_path);
    EXPECT_THROW(pipeline.set_recording_controller(nullptr), RuntimeError);

    ASSERT_TRUE(gated->release_and_wait(4));  // frames 0..3 recorded
    // The replay's clock starts at its first frame: frame 3 is at 3 * STEP_US.
    pipeline.write_calibration_update(testing::calibration_dict(470), 3 * STEP_US);
    pipeline.pause_recording();
    ASSERT_TRUE(pipeline.recording_status()->is_paused);
    ASSERT_TRUE(gated->release_and_wait(4));  // frames 4..7 not written
    EXPECT_TRUE(std::filesystem::exists(out_path));
    pipeline.resume_recording();
    ASSERT_TRUE(gated->release_and_wait(4));  // frames 8..11 recorded
    const RecordingResult result = pipeline.stop_recording();
    pipeline.stop();
    EXPECT_EQ(result.frames_written, 8);

    const Replayed copy = replay_all(out_path);
    ASSERT_EQ(copy.payloads.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        const int original = i < 4 ? i : i + 4;
        EXPECT_EQ(copy.payloads[i], payloads[original]) << i;
        if (i > 0) {
            EXPECT_GT(copy.pts_us[i], copy.pts_us[i - 1]) << i;
        }
    }
    EXPECT_EQ(copy.pts_us[0], 0);
    EXPECT_EQ(copy.pts_us[3], 3 * STEP_US);
    ASSERT_EQ(copy.calibration_history.size(), 1u);
    EXPECT_EQ(copy.calibration_history[0].first, 3 * STEP_US);
    EXPECT_EQ(copy.calibration_history[0].second, testing::calibration_dict(470));
}

TEST(PipelineRecording, DepthCommandRecordsTheFramesItProcesses) {
    testing::TempDir dir("pipeline_recording_cli");
    const auto src_path = dir / "source.mkv";
    const auto payloads = make_recording(src_path);
    const auto out_path = dir / "cli.mkv";
    std::string out;
    const int status = testing::run_command(
        std::string(KELVO_CLI) + " depth " + src_path.string() + " --backend stereo-bm --out " +
            (dir / "maps").string() + " --record " + out_path.string() + " --json",
        &out);
    ASSERT_EQ(status, 0) << out;
    const Json summary = Json::parse(out);
    EXPECT_EQ(summary.at("frames"), FRAMES);
    ASSERT_TRUE(summary.contains("recording")) << out;
    EXPECT_EQ(summary["recording"].at("frames_written"), FRAMES);
    EXPECT_EQ(summary["recording"].at("path"), out_path.string());
    const Replayed copy = replay_all(out_path);
    ASSERT_EQ(copy.payloads.size(), payloads.size());
    for (int i = 0; i < FRAMES; ++i) EXPECT_EQ(copy.payloads[i], payloads[i]) << i;

    // Without --record the summary keeps its keys.
    out.clear();
    ASSERT_EQ(testing::run_command(std::string(KELVO_CLI) + " depth " + src_path.string() +
                                       " --backend stereo-bm --out " + (dir / "maps2").string() +
                                       " --json",
                                   &out),
              0)
        << out;
    EXPECT_FALSE(Json::parse(out).contains("recording"));
}

}  // namespace
}  // namespace kelvo
