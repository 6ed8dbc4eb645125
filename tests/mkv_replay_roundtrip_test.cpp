// Recordings written by MkvRecorder replay with exactly what was written.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"

namespace kelvo {
namespace {

TEST(MkvReplayRoundTrip, RecorderOutputReplaysAsWritten) {
    testing::TempDir dir("mkv_roundtrip");
    const auto path = dir / "rec.mkv";
    const Json camera_info = {{"os_id", "/dev/video0"},
                              {"sku", testing::KNOWN_SKU},
                              {"model_name", "Corvan Regular"},
                              {"serial", "RT-1"},
                              {"base_calibration", testing::calibration_dict(450)}};
    MkvRecorder recorder({.path = path.string(),
                          .width = 32,
                          .height = 16,
                          .clock_domain = "test_clock",
                          .camera_info_payload = camera_info,
                          .camera_controls = {{"exposure", 200}},
                          .camera_name = "Tag name",
                          .camera_serial = "TAG-SERIAL",
                          .capture_mode_slug = "1280x360@30-MJPG",
                          .source_fourcc = "MJPG",
                          .fps = 30.0});
    recorder.start();
    std::vector<FramePtr> fed;
    const std::int64_t origin = 5'000'000;
    for (int i = 0; i < 20; ++i) {
        auto frame = std::make_shared<RawFrame>();
        std::vector<std::uint8_t> jpeg;
        cv::imencode(".jpg", cv::Mat(16, 32, CV_8UC3, cv::Scalar(i * 10, 255 - i * 10, 7)), jpeg);
        frame->payload = std::move(jpeg);
        frame->pts_us = origin + i * 33'000;
        frame->sequence = i + 1;
        recorder.feed(frame);
        fed.push_back(frame);
        if (i == 10) {
            recorder.write_calibration_update(testing::calibration_dict(460), origin + 10 * 33'000);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const RecordingResult result = recorder.stop();
    ASSERT_EQ(result.frames_written, 20);

    MkvReplay replay(path, {.replay_mode = "every_frame"});
    ASSERT_TRUE(replay.base_calibration());
    EXPECT_EQ(replay.base_calibration()->to_dict(), testing::calibration_dict(450));
    const CameraInfo ci = replay.open();
    EXPECT_EQ(ci.camera_name, "Corvan Regular");
    EXPECT_EQ(ci.camera_serial, "RT-1");
    EXPECT_EQ(ci.sku, testing::KNOWN_SKU);
    EXPECT_EQ(ci.clock_domain, "test_clock");
    EXPECT_EQ(ci.width, 32);
    EXPECT_EQ(ci.height, 16);
    EXPECT_DOUBLE_EQ(ci.fps, 30.0);
    EXPECT_EQ(replay.mode_slug(), "1280x360@30-MJPG");
    EXPECT_EQ(replay.fourcc(), "MJPG");
    EXPECT_EQ(replay.camera_controls_snapshot(), Json({{"exposure", 200}}));
    ASSERT_EQ(replay.calibration_history().size(), 1u);
    EXPECT_EQ(replay.calibration_history()[0].first, 10 * 33'000);
    EXPECT_EQ(replay.calibration_history()[0].second, testing::calibration_dict(460));
    ASSERT_EQ(replay.frame_index().size(), 20u);
    for (int i = 0; i < 20; ++i) {
        FramePtr f = replay.grab();
        ASSERT_TRUE(f) << i;
        EXPECT_EQ(f->pts_us, i * 33'000) << i;
        EXPECT_EQ(f->payload, fed[i]->payload) << i;
        EXPECT_EQ(f->source_frame_idx, i);
        EXPECT_DOUBLE_EQ(replay.active_calibration()->left().camera_matrix(0, 0),
                         i < 10 ? 450.0 : 460.0)
            << i;
    }
    EXPECT_FALSE(replay.grab());

    // FFmpeg's own prober reads the same file.
    std::string probe;
    ASSERT_EQ(testing::run_command("ffprobe -v error -select_streams v -count_packets "
                                   "-show_entries stream=codec_name,nb_read_packets -of csv=p=0 " +
                                       path.string(),
                                   &probe),
              0);
    EXPECT_EQ(probe, "mjpeg,20\n");
}

}  // namespace
}  // namespace kelvo

namespace kelvo {
namespace {

// Payloads reference the demuxer's packet buffers instead of copies: they
// hold the bytes of the file, stay valid after the replay is closed and
// destroyed (the sanitizer builds catch a buffer released too early), and a
// frame grabbed again after a seek holds the same bytes.
TEST(MkvReplayRoundTrip, PayloadsOutliveTheReplayThatReadThem) {
    testing::TempDir dir("mkv_payload_refs");
    const auto path = testing::make_recording(dir.path(), "rec.mkv", {.frames = 6});
    std::vector<FramePtr> frames;
    FramePtr again;
    {
        MkvReplay replay(path, {.replay_mode = "every_frame"});
        replay.open();
        while (FramePtr f = replay.grab()) frames.push_back(f);
        replay.seek_relative_us(frames[2]->pts_us);
        again = replay.grab();
        replay.close();
    }
    ASSERT_EQ(frames.size(), 6u);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->payload, frames[2]->payload);
    EXPECT_NE(again->payload.data(), frames[2]->payload.data());  // read twice, kept apart
    for (const auto& f : frames) {
        const cv::Mat image = cv::imdecode(cv::Mat(1, static_cast<int>(f->payload.size()), CV_8UC1,
                                                   const_cast<std::uint8_t*>(f->payload.data())),
                                           cv::IMREAD_COLOR);
        EXPECT_FALSE(image.empty()) << f->sequence;
    }
}

}  // namespace
}  // namespace kelvo
