// Crash safety of recordings: a recording process killed with SIGKILL, and
// one whose disk fills up, leave files that replay and seek.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "kelvo/pipeline/recorder.hpp"
#include "recorder_support.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace recorder_crash_test {

using testing::make_frame;
using testing::make_jpeg;
using testing::read_recording;
using testing::TempDir;

constexpr std::int64_t FRAME_US = 33'333;
const Json CAMERA_INFO = {{"sku", "KV-CORVAN-1"}, {"serial", "SN9"}};

MkvRecorderOptions crash_options(const std::filesystem::path& path) {
    return MkvRecorderOptions{
        .path = path.string(),
        .width = 160,
        .height = 60,
        .clock_domain = "linux_monotonic",
        .camera_info_payload = CAMERA_INFO,
        .camera_controls = Json{{"exposure", 50}},
        .camera_name = "Corvan",
        .camera_serial = "SN9",
        .camera_controls_provider = {},
        .capture_mode_slug = "160x60@30-MJPG",
        .source_fourcc = "MJPG",
        .t0_monotonic_ns_provider = [] { return std::optional<std::int64_t>(1'000); },
        .fps = std::nullopt,
        .queue_size = 64,
        .controls_poll_interval = 0.5,
    };
}

/// Feeds a frame every 33 ms and reports each fed index on `report_fd`; never returns.
[[noreturn]] void record_until_killed(const std::filesystem::path& path, int report_fd) {
    MkvRecorder rec(crash_options(path));
    rec.start();
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) {
        rec.feed(make_frame(make_jpeg(i, 160, 60), i * FRAME_US, i + 1));
        if (i == 10) rec.write_calibration_update(Json{{"epoch", 1}}, 10 * FRAME_US);
        if (::write(report_fd, &i, sizeof i) != sizeof i) _exit(3);
        next += std::chrono::microseconds(FRAME_US);
        std::this_thread::sleep_until(next);
    }
    _exit(4);  // not killed in time
}

TEST(RecorderCrash, AKilledRecordingReplaysUpToTheKillAndSeeks) {
    TempDir dir("recorder_crash");
    const auto path = dir / "killed.mkv";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(fds[0]);
        record_until_killed(path, fds[1]);
    }
    ::close(fds[1]);
    int last_fed = -1;
    int index = 0;
    while (last_fed < 60 && ::read(fds[0], &index, sizeof index) == sizeof index) last_fed = index;
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    while (::read(fds[0], &index, sizeof index) == sizeof index) last_fed = index;
    ::close(fds[0]);
    ASSERT_GE(last_fed, 60);

    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened) << back.open_error;
    EXPECT_EQ(back.tags.at("CAMERA_NAME"), "Corvan");
    EXPECT_EQ(back.tags.at("RECORD_T0_HOST_MONOTONIC_NS"), "1000");
    EXPECT_EQ(back.tags.at("CAPTURE_MODE"), "160x60@30-MJPG");
    EXPECT_TRUE(back.tags.count("RECORD_T0_UNIX_EPOCH_NS"));
    ASSERT_EQ(back.attachments.count("camera_info.json"), 1u);
    EXPECT_EQ(back.attachments.at("camera_info.json"), CAMERA_INFO.dump());
    ASSERT_EQ(back.events.at("camera_state").size(), 1u);
    EXPECT_EQ(back.events.at("camera_state")[0].second, R"({"exposure":50})");
    ASSERT_EQ(back.events.at("calibration").size(), 1u);
    EXPECT_EQ(back.events.at("calibration")[0].first, 10 * FRAME_US);

    // Everything up to about a second before the kill is there, intact and in order.
    const auto frames = static_cast<int>(back.video.size());
    RecordProperty("frames_fed", last_fed + 1);
    RecordProperty("frames_replayed", frames);
    EXPECT_GE(frames, last_fed + 1 - 30) << "fed " << last_fed + 1 << ", replayed " << frames;
    EXPECT_LE(frames, last_fed + 1);
    for (int i = 0; i < frames; ++i) {
        ASSERT_EQ(back.video[i].pts_us, i * FRAME_US) << "frame " << i;
        ASSERT_EQ(back.video[i].data, make_jpeg(i, 160, 60)) << "frame " << i;
    }

    // ffprobe reads the cut-off file too.
    const Json probe = testing::ffprobe(path);
    ASSERT_TRUE(probe.is_object());
    EXPECT_EQ(probe["format"]["tags"]["CAMERA_SERIAL"], "SN9");
    EXPECT_EQ(probe["streams"][3]["tags"]["filename"], "camera_info.json");

    // Without cues, timestamp seeks still land on the exact frame, forward and back.
    AVFormatContext* ctx = nullptr;
    ASSERT_GE(avformat_open_input(&ctx, path.c_str(), nullptr, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    for (int target : {frames / 2, frames - 1, 3, 0}) {
        const std::int64_t ts = target * FRAME_US;  // the video time base is 1/1000000
        ASSERT_GE(av_seek_frame(ctx, 0, ts, AVSEEK_FLAG_BACKWARD), 0) << "seek to " << target;
        std::int64_t got = -1;
        while (av_read_frame(ctx, pkt) >= 0) {
            const bool video = pkt->stream_index == 0;
            if (video) got = pkt->pts;
            av_packet_unref(pkt);
            if (video) break;
        }
        EXPECT_EQ(got, ts) << "seek to frame " << target;
    }
    av_packet_free(&pkt);
    avformat_close_input(&ctx);
}

TEST(RecorderCrash, AFullDiskStopsTheRecorderAndKeepsWhatWasWritten) {
    TempDir dir("recorder_crash");
    const auto path = dir / "full.mkv";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The file may not grow past 256 KiB: the next write fails with EFBIG.
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            256 * 1024, 256 * 1024
        };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        MkvRecorder rec(crash_options(path));
        rec.start();
        for (int i = 0; i < 500 && rec.is_running(); ++i) {
            rec.feed(make_frame(make_jpeg(i, 160, 60), i * FRAME_US, i + 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (rec.is_running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (rec.is_running()) _exit(11);
        // It says it failed, and why.
        const RecordingStatus failed = rec.status();
        if (failed.state != "failed" || !failed.reason || failed.reason->empty()) _exit(13);
        const auto result = rec.stop();
        _exit(result.frames_written > 0 ? 0 : 12);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);

    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened) << back.open_error;
    ASSERT_GT(back.video.size(), 5u);
    for (std::size_t i = 0; i < back.video.size(); ++i)
        EXPECT_EQ(back.video[i].data, make_jpeg(static_cast<int>(i), 160, 60));
    EXPECT_EQ(back.attachments.count("camera_info.json"), 1u);
}

}  // namespace recorder_crash_test
}  // namespace kelvo
