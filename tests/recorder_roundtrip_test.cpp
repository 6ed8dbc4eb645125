// Record, then replay: files written by MkvRecorder read back through
// MkvReplay with the same payloads, times, tags, camera information and
// histories; and recordings of a replay made through RecordingManager, from
// the worker path ("every_frame") and from the pump path ("realtime").
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kelvo/calibration.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "recorder_support.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace {

using testing::make_frame;
using testing::make_jpeg;
using testing::TempDir;

constexpr int N = 30;
constexpr std::int64_t FIRST_PTS = 2'000'017;
constexpr std::int64_t STEP = 33'331;

Json calibration_dict(double baseline) {
    const Json camera = {{"camera_matrix", {{40.0, 0.0, 16.0}, {0.0, 40.0, 16.0}, {0.0, 0.0, 1.0}}},
                         {"dist_coeffs", {0.0, 0.0, 0.0, 0.0, 0.0}}};
    return Json{{"image_size", {32, 32}},
                {"left", camera},
                {"right", camera},
                {"R", {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}},
                {"T", {-baseline, 0.0, 0.0}}};
}

Json camera_info_payload() {
    return Json{{"os_id", "/dev/video0"},
                {"sku", "KV-CORVAN-1"},
                {"model_name", "Corvan"},
                {"serial", "SN-RT"},
                {"base_calibration", calibration_dict(0.05)}};
}

/// An original recording: odd microsecond times, two calibration updates and
/// a control change.
std::filesystem::path write_original(const TempDir& dir) {
    const auto path = dir / "original.mkv";
    MkvRecorder rec(MkvRecorderOptions{
        .path = path.string(),
        .width = 64,
        .height = 32,
        .clock_domain = "test_clock",
        .camera_info_payload = camera_info_payload(),
        .camera_controls = Json{{"exposure", 100}},
        .camera_name = "Corvan tag",
        .camera_serial = "SN-TAG",
        .camera_controls_provider = {},
        .capture_mode_slug = "64x32@30-MJPG",
        .source_fourcc = "MJPG",
        .t0_monotonic_ns_provider = [] { return std::optional<std::int64_t>(1'000'000); },
        .fps = std::nullopt,
        .queue_size = N + 4,
        .controls_poll_interval = 0.5,
    });
    rec.start();
    for (int i = 0; i < N; ++i) {
        if (i == 10) rec.write_calibration_update(calibration_dict(0.051), FIRST_PTS + i * STEP);
        if (i == 20) {
            rec.write_calibration_update(calibration_dict(0.052), FIRST_PTS + i * STEP + 5);
            rec.write_camera_state(Json{{"exposure", 250}}, FIRST_PTS + i * STEP);
        }
        rec.feed(make_frame(make_jpeg(i), FIRST_PTS + i * STEP, i + 1));
    }
    rec.stop();
    return path;
}

TEST(RecorderRoundTrip, MkvReplayReadsBackWhatWasWritten) {
    TempDir dir("recorder_roundtrip");
    const auto path = write_original(dir);
    MkvReplay replay(path,
                     {.replay_mode = "every_frame", .loop = false, .build_frame_index = true});
    ASSERT_NE(replay.base_calibration(), nullptr);
    EXPECT_EQ(replay.base_calibration()->to_dict(), calibration_dict(0.05));
    const CameraInfo info = replay.open();
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.height, 32);
    EXPECT_EQ(info.camera_name, "Corvan");  // model_name wins over the tag
    EXPECT_EQ(info.camera_serial, "SN-RT");
    EXPECT_EQ(info.sku, std::optional<std::string>("KV-CORVAN-1"));
    EXPECT_EQ(info.clock_domain, "test_clock");
    EXPECT_DOUBLE_EQ(info.fps, 30.0);
    EXPECT_EQ(replay.fourcc(), "MJPG");
    EXPECT_EQ(replay.mode_slug(), std::optional<std::string>("64x32@30-MJPG"));
    EXPECT_EQ(replay.t0_monotonic_ns(), std::optional<std::int64_t>(1'000'000 + FIRST_PTS * 1000));
    EXPECT_EQ(replay.camera_controls_snapshot(), std::optional<Json>(Json{{"exposure", 100}}));

    std::vector<std::int64_t> expected_index;
    for (int i = 0; i < N; ++i) expected_index.push_back(i * STEP);
    EXPECT_EQ(replay.frame_index(), expected_index);
    const auto cal = replay.calibration_history();
    ASSERT_EQ(cal.size(), 2u);
    EXPECT_EQ(cal[0].first, 10 * STEP);
    EXPECT_EQ(cal[0].second, calibration_dict(0.051));
    EXPECT_EQ(cal[1].first, 20 * STEP + 5);
    EXPECT_EQ(cal[1].second, calibration_dict(0.052));
    const auto state = replay.camera_state_history();
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(state[0], (std::pair<std::int64_t, Json>{0, Json{{"exposure", 100}}}));
    EXPECT_EQ(state[1], (std::pair<std::int64_t, Json>{20 * STEP, Json{{"exposure", 250}}}));
    EXPECT_EQ(replay.attachment_names(), std::vector<std::string>{"camera_info.json"});

    for (int i = 0; i < N; ++i) {
        const FramePtr frame = replay.grab();
        ASSERT_NE(frame, nullptr) << "frame " << i;
        EXPECT_EQ(frame->pts_us, i * STEP);
        EXPECT_EQ(frame->payload, make_jpeg(i));
        EXPECT_EQ(frame->source_frame_idx, std::optional<std::int64_t>(i));
        const double expected_baseline = i < 10 ? 0.05 : i < 21 ? 0.051 : 0.052;
        ASSERT_NE(replay.active_calibration(), nullptr);
        EXPECT_DOUBLE_EQ(-replay.active_calibration()->T()[0], expected_baseline) << "frame " << i;
    }
    EXPECT_EQ(replay.grab(), nullptr);
    replay.close();
}

RecordingManagerOptions manager_options(const std::shared_ptr<MkvReplay>& replay,
                                        const CameraInfo& info) {
    return RecordingManagerOptions{
        .source = replay,
        .info_provider = [info] { return std::optional(info); },
        .camera_controls_provider =
            [weak = std::weak_ptr(replay)] {
                const auto r = weak.lock();
                return r && r->camera_controls_snapshot() ? *r->camera_controls_snapshot()
                                                          : Json::object();
            },
        .recorder_factory = {},
    };
}

void expect_same_frames(const std::filesystem::path& copy, int first, int count) {
    MkvReplay replay(copy,
                     {.replay_mode = "every_frame", .loop = false, .build_frame_index = true});
    replay.open();
    for (int i = 0; i < count; ++i) {
        const FramePtr frame = replay.grab();
        ASSERT_NE(frame, nullptr) << "frame " << i;
        EXPECT_EQ(frame->pts_us, i * STEP) << "frame " << i;
        EXPECT_EQ(frame->payload, make_jpeg(first + i)) << "frame " << i;
    }
    EXPECT_EQ(replay.grab(), nullptr);
    EXPECT_EQ(replay.mode_slug(), std::optional<std::string>("64x32@30-MJPG"));
    // The time origin moved to the first recorded frame.
    EXPECT_EQ(replay.t0_monotonic_ns(),
              std::optional<std::int64_t>(1'000'000 + (FIRST_PTS + first * STEP) * 1000));
}

TEST(RecorderRoundTrip, RecordingAnEveryFrameReplayThroughTheWorkerPath) {
    TempDir dir("recorder_roundtrip");
    const auto original = write_original(dir);
    auto replay = std::make_shared<MkvReplay>(
        original,
        MkvReplayOptions{.replay_mode = "every_frame", .loop = false, .build_frame_index = true});
    const CameraInfo info = replay->open();
    RecordingManager manager(manager_options(replay, info));
    // Skip the first five frames, then record the rest as the worker processes them.
    for (int i = 0; i < 5; ++i) ASSERT_NE(replay->grab(), nullptr);
    const auto copy = dir / "copy_worker.mkv";
    manager.start(copy, {.camera_controls = std::nullopt,
                         .camera_info_payload = *replay->embedded_camera_info()});
    int fed = 0;
    while (const FramePtr frame = replay->grab()) {
        manager.feed_worker_rate(frame);
        if (frame->source_frame_idx == 12)
            manager.write_calibration_update(calibration_dict(0.06), frame->pts_us);
        ++fed;
    }
    const auto result = manager.stop();
    EXPECT_EQ(fed, N - 5);
    EXPECT_EQ(result.frames_written, N - 5);
    expect_same_frames(copy, 5, N - 5);

    MkvReplay back(copy, {.replay_mode = "every_frame", .loop = false, .build_frame_index = false});
    back.open();
    const auto cal = back.calibration_history();
    ASSERT_EQ(cal.size(), 1u);
    EXPECT_EQ(cal[0].first, (12 - 5) * STEP);
    EXPECT_EQ(cal[0].second, calibration_dict(0.06));
    ASSERT_FALSE(back.camera_state_history().empty());
    EXPECT_EQ(back.camera_state_history()[0].second, (Json{{"exposure", 100}}));
    ASSERT_NE(back.base_calibration(), nullptr);
    EXPECT_EQ(back.base_calibration()->to_dict(), calibration_dict(0.05));
}

TEST(RecorderRoundTrip, RecordingARealtimeReplayThroughThePumpPath) {
    TempDir dir("recorder_roundtrip");
    const auto original = write_original(dir);
    auto replay = std::make_shared<MkvReplay>(
        original,
        MkvReplayOptions{.replay_mode = "realtime", .loop = false, .build_frame_index = true});
    replay->pause();  // hold the pump at the first frame until the recording runs
    const CameraInfo info = replay->open();
    RecordingManager manager(manager_options(replay, info));
    const auto copy = dir / "copy_pump.mkv";
    manager.start(copy, {.camera_controls = std::nullopt,
                         .camera_info_payload = *replay->embedded_camera_info()});
    replay->resume();
    // The worker grabs what it can as well: both paths offer frames, each is kept once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (const FramePtr frame = replay->grab(0.2)) manager.feed_worker_rate(frame);
        if (manager.status()->frames_written == N) break;
    }
    const auto result = manager.stop();
    replay->close();
    ASSERT_EQ(result.frames_written, N);
    EXPECT_EQ(result.frames_dropped, 0);
    expect_same_frames(copy, 0, N);
}

}  // namespace
}  // namespace kelvo
