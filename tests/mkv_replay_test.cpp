// Replay of recordings frame by frame: the readers of the file layout, the
// "every_frame" source, bad input and the `kelvo info` / `kelvo replay` commands.
#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"
#include "support/json_lines.hpp"
#include "support/log_capture.hpp"

namespace kelvo {
namespace {

using testing::calibration_dict;
using testing::json_lines;
using testing::make_recording;
using testing::RecordingSpec;
using testing::TempDir;
constexpr const char* CHANNEL = "kelvo_camera_sdk.mkv_replay";

MkvReplayOptions every_frame(bool loop = false, bool index = true) {
    return {.replay_mode = "every_frame", .loop = loop, .build_frame_index = index};
}

std::vector<FramePtr> drain(MkvReplay& replay, std::size_t limit = 100000) {
    std::vector<FramePtr> out;
    while (out.size() < limit) {
        FramePtr f = replay.grab();
        if (!f) break;
        out.push_back(f);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Conversions and tag rules

TEST(MkvReadersTimestamps, VideoRoundsHalfToEven) {
    struct Case {
        std::int64_t pts;
        AVRational tb;
        std::int64_t expected;
    };
    const Case cases[] = {
        {3, {1, 60}, 50000},   {1500, {1, 1000}, 1500000}, {1, {1, 2000000}, 0},
        {3, {1, 2000000}, 2},  {5, {1, 2000000}, 2},       {7, {1, 2000000}, 4},
        {-1, {1, 2000000}, 0}, {-3, {1, 2000000}, -2},     {1, {1, 3}, 333333},
        {2, {1, 3}, 666667},   {0, {1, 1000}, 0},          {33, {1, 1000}, 33000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::video_pts_us(c.pts, c.tb), c.expected)
            << c.pts << " x " << c.tb.num << "/" << c.tb.den;
    }
}

TEST(MkvReadersTimestamps, EventsFloorInExactIntegers) {
    struct Case {
        std::int64_t pts;
        AVRational tb;
        std::int64_t expected;
    };
    const Case cases[] = {
        {1500, {1, 1000}, 1500000},
        {-1, {1, 3}, -333334},
        {1, {1, 3}, 333333},
        {2, {1, 3}, 666666},
        {-3, {1, 3}, -1000000},
        {0, {1, 3}, 0},
        {AV_NOPTS_VALUE, {1, 1000}, 0},
        {5, {1, 0}, 0},
        // Large enough that a double would lose the last digits.
        {9007199254740993LL, {1, 1000000}, 9007199254740993LL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(detail::event_rel_us(c.pts, c.tb), c.expected) << c.pts;
    }
}

TEST(MkvReadersTimestamps, SeekTargetsRoundHalfToEven) {
    EXPECT_EQ(detail::us_to_stream_ts(33000, {1, 1000}), 33);
    EXPECT_EQ(detail::us_to_stream_ts(33500, {1, 1000}), 34);
    EXPECT_EQ(detail::us_to_stream_ts(32500, {1, 1000}), 32);
    EXPECT_EQ(detail::us_to_stream_ts(-1500, {1, 1000}), -2);
}

TEST(MkvReadersTags, IntegerTags) {
    const std::pair<std::optional<std::string>, std::int64_t> cases[] = {
        {"123", 123},
        {" 42\n", 42},
        {"-7", -7},
        {"+8", 8},
        {"\t-0 ", 0},
        {"1.5", 0},
        {"1e3", 0},
        {"abc", 0},
        {"", 0},
        {"  ", 0},
        {"+-1", 0},
        {"--1", 0},
        {"12 34", 0},
        {std::nullopt, 0},
        {"99999999999999999999", 0},
        {"1700000000000000000", 1700000000000000000LL},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(detail::_int_tag(text), expected) << text.value_or("(absent)");
    }
    EXPECT_EQ(detail::_int_tag(std::string("x"), 5), 5);
}

TEST(MkvReadersTags, FloatTags) {
    const std::pair<std::optional<std::string>, double> cases[] = {
        {"30", 30.0},
        {" 59.94 ", 59.94},
        {"7.5", 7.5},
        {"1e1", 10.0},
        {"abc", 30.0},
        {"", 30.0},
        {"0x10", 30.0},
        {"30fps", 30.0},
        {std::nullopt, 30.0},
        {"-2", -2.0},
        // Not numbers a tag can mean, and the decimal comma of some locales.
        {"nan", 30.0},
        {"inf", 30.0},
        {"-inf", 30.0},
        {"7,5", 30.0},
        {"+7.5", 7.5},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_DOUBLE_EQ(detail::_float_tag(text, 30.0), expected) << text.value_or("(absent)");
    }
}

TEST(MkvReadersFourcc, CodecAndTagMapping) {
    const std::tuple<std::string, std::uint32_t, std::string> cases[] = {
        {"mjpeg", 0, "MJPG"},
        {"MJPEG", MKTAG('Y', 'U', 'Y', '2'), "MJPG"},
        {"rawvideo", MKTAG('Y', 'U', 'Y', '2'), "YUYV"},
        {"rawvideo", MKTAG('y', 'u', 'y', '2'), "YUYV"},
        {"rawvideo", MKTAG('U', 'Y', 'V', 'Y'), "MJPG"},
        {"rawvideo", 0, "MJPG"},
        {"h264", MKTAG('Y', 'U', 'Y', '2'), "MJPG"},
        {"", 0, "MJPG"},
    };
    for (const auto& [name, tag, expected] : cases) {
        EXPECT_EQ(detail::derive_fourcc(name, tag), expected) << name;
    }
}

TEST(MkvReadersAttachments, ParseJsonBlobs) {
    testing::LogCapture cap(CHANNEL);
    std::map<std::string, std::vector<std::uint8_t>> blobs;
    auto put = [&](const std::string& name, const std::string& text) {
        blobs[name] = std::vector<std::uint8_t>(text.begin(), text.end());
    };
    put("ok.json", R"({"a": 1})");
    put("five.json", "5");
    put("bad.json", R"({"a": 1)");
    put("latin1.json", "{\"a\": \"\xe9\"}");
    EXPECT_EQ(detail::_parse_attachment_json(blobs, "ok.json"), Json::parse(R"({"a": 1})"));
    EXPECT_EQ(detail::_parse_attachment_json(blobs, "five.json"), Json(5));
    EXPECT_FALSE(detail::_parse_attachment_json(blobs, "missing.json"));
    EXPECT_FALSE(cap.contains("attachment missing.json"));
    EXPECT_FALSE(detail::_parse_attachment_json(blobs, "bad.json"));
    EXPECT_TRUE(
        cap.contains("attachment bad.json parse failed (non-fatal): ", spdlog::level::warn));
    EXPECT_FALSE(detail::_parse_attachment_json(blobs, "latin1.json"));
    EXPECT_TRUE(
        cap.contains("attachment latin1.json parse failed (non-fatal): ", spdlog::level::warn));
}

// ---------------------------------------------------------------------------
// Readers over real files

struct OpenedFile {
    detail::InputContextPtr ctx;
    int video = -1;
};

OpenedFile open_file(const std::filesystem::path& path) {
    OpenedFile f{std::move(detail::open_matroska_file(path.string()).ctx)};
    for (unsigned i = 0; i < f.ctx->nb_streams; ++i) {
        if (f.ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            f.video = static_cast<int>(i);
            break;
        }
    }
    return f;
}

class MkvFiles : public ::testing::Test {
  protected:
    TempDir dir{"mkv_replay"};
};

TEST_F(MkvFiles, SubtitleTracksKeepOrderSkipBadBlocksAndMergeSameTitles) {
    RecordingSpec spec;
    spec.calibration = {{0, calibration_dict(500).dump()}, {1500, "5"}};
    spec.camera_state = {
        {0, R"({"exposure": 120})"}, {100, R"({"exposure": 130)"}, {200, R"({"exposure": 140})"}};
    spec.extra_attachments = {{"notes.txt", "hello"}};
    const auto path = make_recording(dir.path(), "subs.mkv", spec);
    testing::LogCapture cap(CHANNEL);
    auto f = open_file(path);
    const auto result =
        detail::_read_subtitle_tracks(f.ctx.get(), {"calibration", "camera_state", "other"});
    ASSERT_EQ(result.size(), 3u);
    EXPECT_TRUE(result.at("other").empty());
    const auto& cal = result.at("calibration");
    ASSERT_EQ(cal.size(), 2u);
    EXPECT_EQ(cal[0].first, 0);
    EXPECT_EQ(cal[0].second, calibration_dict(500));
    EXPECT_EQ(cal[1].first, 1500000);
    EXPECT_EQ(cal[1].second, Json(5));
    const auto& state = result.at("camera_state");
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(state[0], (detail::HistoryEvent{0, Json::parse(R"({"exposure": 120})")}));
    EXPECT_EQ(state[1], (detail::HistoryEvent{200000, Json::parse(R"({"exposure": 140})")}));
    EXPECT_TRUE(cap.contains("subtitle camera_state: bad packet at pts=100 (skipped): ",
                             spdlog::level::warn));

    const auto blobs = detail::_read_attachment_blobs(f.ctx.get());
    ASSERT_EQ(blobs.size(), 1u);
    EXPECT_EQ(std::string(blobs.at("notes.txt").begin(), blobs.at("notes.txt").end()), "hello");
}

TEST_F(MkvFiles, WithoutSubtitleTracksNoPacketIsRead) {
    const auto path = make_recording(dir.path(), "plain.mkv", {});
    auto f = open_file(path);
    const auto result = detail::_read_subtitle_tracks(f.ctx.get(), {"calibration", "camera_state"});
    EXPECT_TRUE(result.at("calibration").empty());
    EXPECT_TRUE(result.at("camera_state").empty());
    // Still at the first packet: nothing was consumed.
    auto packet = detail::make_packet();
    ASSERT_GE(av_read_frame(f.ctx.get(), packet.get()), 0);
    EXPECT_EQ(packet->pts, 0);
    EXPECT_TRUE(detail::_read_attachment_blobs(f.ctx.get()).empty());
}

TEST_F(MkvFiles, TwoTracksWithTheSameTitleMergeInFileOrder) {
    const auto video = testing::make_video(dir.path(), "v.mkv", {});
    testing::write_srt(dir / "a.srt", {{0, "1"}, {200, "3"}});
    testing::write_srt(dir / "b.srt", {{100, "2"}, {300, "4"}});
    const auto out = dir / "merged.mkv";
    testing::run_ok("mkvmerge -q -o " + out.string() + " " + video.string() +
                    " --track-name 0:calibration " + (dir / "a.srt").string() +
                    " --track-name 0:calibration " + (dir / "b.srt").string());
    auto f = open_file(out);
    const auto cal = detail::_read_subtitle_tracks(f.ctx.get(), {"calibration"}).at("calibration");
    ASSERT_EQ(cal.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cal[i].first, i * 100000);
        EXPECT_EQ(cal[i].second, Json(i + 1));
    }
}

// The open() pass collects the frame index together with the histories; it
// must equal what a separate pass over the rewound file gives, and ffprobe.
TEST_F(MkvFiles, FrameIndexFromTheSharedPassEqualsSeparatePassAndFfprobe) {
    RecordingSpec with_subs;
    with_subs.frames = 45;
    with_subs.camera_state = {{0, "{}"}, {700, "{}"}};
    RecordingSpec yuyv;
    yuyv.yuyv = true;
    yuyv.frames = 12;
    RecordingSpec odd_rate;
    odd_rate.rate = "30000/1001";
    odd_rate.frames = 40;
    odd_rate.use_ffmpeg_only = true;
    odd_rate.calibration = {{10, "{}"}};
    int n = 0;
    for (const auto& spec : {RecordingSpec{}, with_subs, yuyv, odd_rate}) {
        const auto path = make_recording(dir.path(), fmt::format("idx{}.mkv", n++), spec);
        MkvReplay replay(path, every_frame());
        replay.open();
        auto f = open_file(path);
        const auto separate = detail::read_frame_index(f.ctx.get(), f.video);
        EXPECT_EQ(replay.frame_index(), separate) << path;
        EXPECT_EQ(separate.size(), static_cast<std::size_t>(spec.frames));
        std::string probe;
        ASSERT_EQ(testing::run_command("ffprobe -v error -select_streams v -show_entries "
                                       "packet=pts_time -of csv=p=0 " +
                                           path.string(),
                                       &probe),
                  0);
        std::vector<std::int64_t> probed;
        std::istringstream lines(probe);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty()) probed.push_back(std::llround(std::stod(line) * 1e6));
        }
        EXPECT_EQ(replay.frame_index(), probed) << path;
        // Replay starts at the first frame after the shared pass.
        FramePtr first = replay.grab();
        ASSERT_TRUE(first);
        EXPECT_EQ(first->pts_us, separate.front());
        EXPECT_EQ(first->source_frame_idx, 0);
    }
}

// ---------------------------------------------------------------------------
// MkvReplay construction, open and properties

TEST_F(MkvFiles, BadReplayModeIsRejectedWithTheExactMessage) {
    try {
        MkvReplay replay(dir / "whatever.mkv", {.replay_mode = "fast"});
        FAIL() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "replay_mode must be one of ('realtime', 'every_frame'); got 'fast'");
    }
}

TEST_F(MkvFiles, BaseCalibrationIsReadableRightAfterConstruction) {
    RecordingSpec spec;
    Json info = {{"sku", testing::KNOWN_SKU}, {"base_calibration", calibration_dict(512)}};
    spec.camera_info = info.dump();
    const auto path = make_recording(dir.path(), "base.mkv", spec);
    MkvReplay replay(path, every_frame());
    ASSERT_TRUE(replay.base_calibration());
    EXPECT_EQ(replay.base_calibration(), replay.active_calibration());
    EXPECT_EQ(replay.base_calibration()->to_dict(), calibration_dict(512));
    EXPECT_EQ(replay.fourcc(), "MJPG");
    EXPECT_TRUE(replay.list_camera_controls().empty());
    EXPECT_FALSE(replay.is_live());
    EXPECT_TRUE(replay.is_seekable());
    EXPECT_TRUE(replay.is_pausable());
    EXPECT_FALSE(replay.is_paused());
    try {
        replay.grab();
        FAIL() << "grab before open";
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "MkvReplay not open");
    }
}

TEST_F(MkvFiles, PreloadFailuresAreLoggedAndLeaveCalibrationsAbsent) {
    struct Case {
        std::string name;
        std::optional<std::string> camera_info;
        std::string message;
        spdlog::level::level_enum level;
    };
    const Case cases[] = {
        {"nocal.mkv", R"({"sku": "x"})", "embedded camera_info has no base_calibration block",
         spdlog::level::err},
        {"listcal.mkv", R"({"base_calibration": [1, 2]})",
         "embedded camera_info has no base_calibration block", spdlog::level::err},
        {"badcal.mkv", R"({"base_calibration": {"image_size": "no"}})",
         "base calibration failed to deserialize", spdlog::level::err},
        {"badjson.mkv", R"({"base_calibration": )", "attachment camera_info.json parse failed",
         spdlog::level::warn},
    };
    for (const auto& c : cases) {
        RecordingSpec spec;
        spec.camera_info = c.camera_info;
        const auto path = make_recording(dir.path(), c.name, spec);
        testing::LogCapture cap(CHANNEL);
        MkvReplay replay(path, every_frame());
        EXPECT_FALSE(replay.base_calibration()) << c.name;
        EXPECT_FALSE(replay.active_calibration()) << c.name;
        EXPECT_TRUE(cap.contains(c.message, c.level)) << c.name;
        replay.open();  // the recording itself is fine
        EXPECT_TRUE(replay.grab()) << c.name;
    }
}

TEST_F(MkvFiles, TagsAndCameraIdentity) {
    RecordingSpec spec;
    spec.tags = {{"RECORD_T0_HOST_MONOTONIC_NS", " 123456789 "},
                 {"RECORD_T0_UNIX_EPOCH_NS", "1700000000.5"},
                 {"CAPTURE_CLOCK_DOMAIN", ""},
                 {"CAMERA_NAME", "Tag name"},
                 {"CAMERA_SERIAL", "TAGSERIAL"},
                 {"CAPTURE_MODE", "1280x360@30-MJPG"},
                 {"FPS_TARGET", "thirty"}};
    Json info = {{"sku", testing::KNOWN_SKU},
                 {"model_name", "Corvan Regular"},
                 {"serial", ""},
                 {"camera_serial", "CS2"},
                 {"serial_number", "SN3"}};
    spec.camera_info = info.dump();
    const auto path = make_recording(dir.path(), "tags.mkv", spec);
    MkvReplay replay(path, every_frame());
    const CameraInfo ci = replay.open();
    EXPECT_EQ(ci.os_id, path.string());
    EXPECT_EQ(ci.camera_name, "Corvan Regular");
    EXPECT_EQ(ci.camera_serial, "CS2");
    EXPECT_EQ(ci.sku, testing::KNOWN_SKU);
    EXPECT_EQ(ci.width, 64);
    EXPECT_EQ(ci.height, 32);
    EXPECT_DOUBLE_EQ(ci.fps, 30.0);
    EXPECT_FALSE(ci.is_live);
    EXPECT_EQ(ci.clock_domain, "");
    EXPECT_EQ(replay.clock_domain(), "");
    EXPECT_EQ(replay.t0_monotonic_ns(), 123456789);
    EXPECT_EQ(replay.t0_utc_ns(), 0);
    EXPECT_EQ(replay.mode_slug(), "1280x360@30-MJPG");
    EXPECT_NEAR(static_cast<double>(replay.duration_us()), 333000.0, 40000.0);
}

TEST_F(MkvFiles, IdentityFallbacks) {
    struct Case {
        std::string file;
        std::vector<std::pair<std::string, std::string>> tags;
        std::optional<std::string> camera_info;
        std::string name, serial;
        std::optional<std::string> sku;
        std::string clock_domain;
    };
    const Case cases[] = {
        {"run7.mkv", {}, std::nullopt, "run7.mkv", "", std::nullopt, "linux_monotonic"},
        {"run8.mkv",
         {{"CAMERA_SERIAL", "T"}, {"CAPTURE_CLOCK_DOMAIN", "qpc"}},
         R"({"sku": "", "model_name": ""})",
         "run8.mkv",
         "T",
         std::nullopt,
         "qpc"},
        {"run9.mkv",
         {{"CAMERA_NAME", "N"}, {"CAMERA_SERIAL", "T"}},
         R"({"serial_number": "S3", "camera_serial": ""})",
         "N",
         "S3",
         std::nullopt,
         "linux_monotonic"},
        {"run10.mkv",
         {{"CAMERA_SERIAL", "T"}},
         R"({"serial": "S1", "serial_number": "S3"})",
         "run10.mkv",
         "S1",
         std::nullopt,
         "linux_monotonic"},
        {"run11.mkv", {}, "[1, 2]", "run11.mkv", "", std::nullopt, "linux_monotonic"},
    };
    for (const auto& c : cases) {
        RecordingSpec spec;
        spec.tags = c.tags;
        spec.camera_info = c.camera_info;
        const auto path = make_recording(dir.path(), c.file, spec);
        MkvReplay replay(path, every_frame());
        const CameraInfo ci = replay.open();
        EXPECT_EQ(ci.camera_name, c.name) << c.file;
        EXPECT_EQ(ci.camera_serial, c.serial) << c.file;
        EXPECT_EQ(ci.sku, c.sku) << c.file;
        EXPECT_EQ(ci.clock_domain, c.clock_domain) << c.file;
        EXPECT_DOUBLE_EQ(ci.fps, 30.0) << c.file;
        EXPECT_FALSE(replay.mode_slug()) << c.file;
    }
}

TEST_F(MkvFiles, FfmpegMuxedRecordingReadsTheSame) {
    RecordingSpec spec;
    spec.use_ffmpeg_only = true;
    spec.tags = {
        {"CAMERA_NAME", "ff"}, {"FPS_TARGET", " 60 "}, {"RECORD_T0_HOST_MONOTONIC_NS", "-5"}};
    spec.camera_info = Json({{"base_calibration", calibration_dict(600)}}).dump();
    spec.calibration = {{0, calibration_dict(601).dump()}};
    spec.camera_state = {{0, R"({"gain": 3})"}, {150, R"({"gain": 4})"}};
    const auto path = make_recording(dir.path(), "ff.mkv", spec);
    MkvReplay replay(path, every_frame());
    ASSERT_TRUE(replay.base_calibration());
    const CameraInfo ci = replay.open();
    EXPECT_EQ(ci.camera_name, "ff");
    EXPECT_DOUBLE_EQ(ci.fps, 60.0);
    EXPECT_EQ(replay.t0_monotonic_ns(), -5);
    EXPECT_EQ(replay.calibration_history().size(), 1u);
    ASSERT_EQ(replay.camera_state_history().size(), 2u);
    EXPECT_EQ(replay.camera_state_history()[1].first, 150000);
    EXPECT_EQ(replay.camera_controls_snapshot(), Json::parse(R"({"gain": 3})"));
    FramePtr f = replay.grab();
    ASSERT_TRUE(f);
    EXPECT_EQ(replay.active_calibration()->to_dict(), calibration_dict(601));
}

TEST_F(MkvFiles, YuyvRecordingReplaysRawPixels) {
    RecordingSpec spec;
    spec.yuyv = true;
    spec.frames = 3;
    const auto path = make_recording(dir.path(), "yuyv.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    EXPECT_EQ(replay.fourcc(), "YUYV");
    const auto frames = drain(replay);
    ASSERT_EQ(frames.size(), 3u);
    for (const auto& f : frames) {
        EXPECT_EQ(f->payload.size(), 64u * 32u * 2u);
        const cv::Mat bgr = replay.decode_to_bgr(f->payload, 64, 32);
        EXPECT_EQ(bgr.cols, 64);
    }
}

// ---------------------------------------------------------------------------
// Frames, histories and controls

TEST_F(MkvFiles, EveryFrameDeliversEveryPacketWithIndexAndPayload) {
    RecordingSpec spec;
    spec.frames = 20;
    const auto path = make_recording(dir.path(), "frames.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    const auto index = replay.frame_index();
    ASSERT_EQ(index.size(), 20u);
    // Payloads are the very packets the file holds.
    auto f = open_file(path);
    auto packet = detail::make_packet();
    for (std::size_t i = 0; i < 20; ++i) {
        FramePtr frame = replay.grab();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->sequence, static_cast<std::int64_t>(i + 1));
        EXPECT_EQ(frame->source_frame_idx, static_cast<std::int64_t>(i));
        EXPECT_EQ(frame->pts_us, index[i]);
        ASSERT_GE(av_read_frame(f.ctx.get(), packet.get()), 0);
        ASSERT_EQ(frame->payload.size(), static_cast<std::size_t>(packet->size));
        EXPECT_TRUE(std::equal(frame->payload.begin(), frame->payload.end(), packet->data));
        av_packet_unref(packet.get());
        EXPECT_NO_THROW(replay.decode_to_bgr(frame->payload, 64, 32));
    }
    EXPECT_FALSE(replay.grab());
    EXPECT_FALSE(replay.grab());
    const std::pair<std::int64_t, std::int64_t> one_zero{1, 0};
    EXPECT_EQ(replay.get_pump_stats(), one_zero);
    EXPECT_EQ(replay.get_pump_stats(), one_zero);
}

TEST_F(MkvFiles, LoopRewindsAndSequenceKeepsCounting) {
    RecordingSpec spec;
    spec.frames = 4;
    const auto path = make_recording(dir.path(), "loop.mkv", spec);
    MkvReplay replay(path, every_frame(/*loop=*/true));
    int called = 0;
    replay.add_fanout(make_frame_callback([&](const FramePtr&) { ++called; }));
    replay.open();
    std::vector<std::int64_t> idx, seq;
    for (int i = 0; i < 10; ++i) {
        FramePtr f = replay.grab();
        ASSERT_TRUE(f);
        idx.push_back(*f->source_frame_idx);
        seq.push_back(f->sequence);
    }
    EXPECT_EQ(idx, (std::vector<std::int64_t>{0, 1, 2, 3, 0, 1, 2, 3, 0, 1}));
    EXPECT_EQ(seq, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(called, 0);  // no pump, no fan-out in this mode
}

TEST_F(MkvFiles, WithoutFrameIndexFramesHaveNoIndexAndStepsFail) {
    const auto path = make_recording(dir.path(), "noidx.mkv", {});
    MkvReplay replay(path, every_frame(false, /*index=*/false));
    replay.open();
    EXPECT_TRUE(replay.frame_index().empty());
    for (const auto& f : drain(replay)) EXPECT_FALSE(f->source_frame_idx);
    try {
        replay.step_one_forward();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "step_one_forward requires build_frame_index=True at open()");
    }
    try {
        replay.step_one_backward();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "step_one_backward requires build_frame_index=True at open()");
    }
    replay.seek_relative_us(100000);
    FramePtr f = replay.grab();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->pts_us, 100000);
}

TEST_F(MkvFiles, LoopChangedWhileOpenTakesEffectAtTheNextEnd) {
    RecordingSpec spec;
    spec.frames = 3;
    const auto path = make_recording(dir.path(), "loop_later.mkv", spec);
    MkvReplay replay(path, every_frame(/*loop=*/false));
    replay.open();
    EXPECT_FALSE(replay.loop());
    std::vector<std::int64_t> idx;
    const auto next = [&] {
        FramePtr f = replay.grab();
        idx.push_back(f ? *f->source_frame_idx : -1);
    };
    next();
    replay.set_loop(true);
    EXPECT_TRUE(replay.loop());
    for (int i = 0; i < 3; ++i) next();  // 1, 2, then round to 0
    replay.set_loop(false);
    for (int i = 0; i < 3; ++i) next();  // 1, 2, then the end
    EXPECT_EQ(idx, (std::vector<std::int64_t>{0, 1, 2, 0, 1, 2, -1}));
    EXPECT_TRUE(replay.at_end());
}

TEST_F(MkvFiles, SeekToFrameIsExactAndRefusesWhatItCannotReach) {
    RecordingSpec spec;
    spec.frames = 5;
    const auto path = make_recording(dir.path(), "seek_frame.mkv", spec);
    MkvReplay replay(path, every_frame());
    const auto error_of = [&](MkvReplay& r, std::int64_t idx) -> std::string {
        try {
            r.seek_to_frame(idx);
        } catch (const std::exception& e) {
            return std::string(dynamic_cast<const std::invalid_argument*>(&e) ? "invalid: "
                                                                              : "runtime: ") +
                   e.what();
        }
        return "";
    };
    EXPECT_EQ(error_of(replay, 0), "runtime: MkvReplay not open");
    replay.open();
    const auto index = replay.frame_index();
    MkvReplay no_index(path, every_frame(false, /*index=*/false));
    no_index.open();
    const struct {
        MkvReplay* replay;
        std::int64_t idx;
        const char* error;
    } refused[] = {
        {&replay, -1, "invalid: frame -1 is outside the recording's frames 0..4"},
        {&replay, 5, "invalid: frame 5 is outside the recording's frames 0..4"},
        {&no_index, 0, "runtime: seek_to_frame requires build_frame_index=True at open()"},
    };
    for (const auto& c : refused) EXPECT_EQ(error_of(*c.replay, c.idx), c.error) << c.idx;
    // Paused, each seek lets exactly its own frame through.
    replay.pause();
    for (const std::int64_t target : {4, 0, 2, 3}) {
        SCOPED_TRACE(target);
        replay.seek_to_frame(target);
        FramePtr f = replay.grab();
        ASSERT_TRUE(f);
        EXPECT_EQ(f->source_frame_idx, target);
        EXPECT_EQ(f->pts_us, index[static_cast<std::size_t>(target)]);
        EXPECT_FALSE(replay.grab());
    }
}

TEST_F(MkvFiles, CalibrationEpochsFollowTheFrameTime) {
    RecordingSpec spec;
    spec.frames = 10;
    spec.camera_info = Json({{"base_calibration", calibration_dict(400)}}).dump();
    spec.calibration = {{100, calibration_dict(501).dump()},
                        {200, calibration_dict(502).dump()},
                        {200, calibration_dict(503).dump()},
                        {250, R"({"not": "a calibration"})"}};
    const auto path = make_recording(dir.path(), "epochs.mkv", spec);
    testing::LogCapture cap(CHANNEL);
    MkvReplay replay(path, every_frame());
    replay.open();
    const auto fx = [&] { return replay.active_calibration()->left().camera_matrix(0, 0); };
    const std::pair<std::int64_t, double> cases[] = {{0, 400},      {99999, 400},  {100000, 501},
                                                     {199999, 501}, {200000, 503}, {249999, 503}};
    for (const auto& [at, expected] : cases) {
        replay.seek_relative_us(at);
        EXPECT_DOUBLE_EQ(fx(), expected) << at;
    }
    // The unbuildable entry keeps the calibration in force, with the log.
    replay.seek_relative_us(260000);
    EXPECT_DOUBLE_EQ(fx(), 503);
    EXPECT_TRUE(cap.contains("_advance_calibration_to: from_dict failed", spdlog::level::err));
    // Frames advance it too.
    replay.seek_relative_us(0);
    std::vector<double> seen;
    while (replay.grab()) seen.push_back(fx());
    EXPECT_EQ(seen, (std::vector<double>{400, 400, 400, 501, 501, 501, 503, 503, 503, 503}));
}

TEST_F(MkvFiles, CalibrationCacheIsBoundedAndReused) {
    RecordingSpec spec;
    spec.frames = 75;
    for (int i = 0; i < 22; ++i)
        spec.calibration.emplace_back(i * 100, calibration_dict(500 + i).dump());
    const auto path = make_recording(dir.path(), "cache.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    replay.seek_relative_us(50000);
    const CalibrationPtr first = replay.active_calibration();
    replay.seek_relative_us(60000);
    EXPECT_EQ(replay.active_calibration(), first);  // same epoch: not rebuilt
    for (int i = 1; i <= 15; ++i) replay.seek_relative_us(i * 100000 + 5000);
    replay.seek_relative_us(70000);
    EXPECT_EQ(replay.active_calibration(), first);  // 16 entries: still cached
    for (int i = 1; i <= 20; ++i) replay.seek_relative_us(i * 100000 + 5000);
    replay.seek_relative_us(70000);
    const CalibrationPtr again = replay.active_calibration();
    EXPECT_NE(again, first);  // emptied past 16 entries: built again
    EXPECT_EQ(again->to_dict(), first->to_dict());
}

TEST_F(MkvFiles, CameraControlsFollowTheStateHistory) {
    RecordingSpec spec;
    spec.camera_info = Json({{"sku", testing::KNOWN_SKU}}).dump();
    spec.camera_state = {{0, R"({"exposure": 120, "unknown_control": 1})"},
                         {200, R"({"exposure": 130, "gain": true})"}};
    const auto path = make_recording(dir.path(), "controls.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    EXPECT_EQ(replay.camera_controls_snapshot(),
              Json::parse(R"({"exposure": 120, "unknown_control": 1})"));
    auto value_of = [&](const std::string& name) -> std::optional<double> {
        for (const auto& c : replay.list_camera_controls()) {
            if (c.name == name) return c.current_value;
        }
        ADD_FAILURE() << "no control " << name;
        return std::nullopt;
    };
    const auto controls = replay.list_camera_controls();
    ASSERT_EQ(controls.size(), KELVO_CORVAN.platform_controls().size());
    int with_value = 0;
    for (const auto& c : controls) with_value += c.current_value ? 1 : 0;
    EXPECT_EQ(with_value, 1);
    EXPECT_EQ(value_of("exposure"), 120.0);
    replay.seek_relative_us(250000);
    EXPECT_EQ(value_of("exposure"), 130.0);
    replay.seek_relative_us(-40);
    EXPECT_EQ(value_of("exposure"), 120.0);
}

TEST_F(MkvFiles, UnknownSkuListsNoControls) {
    RecordingSpec spec;
    spec.camera_info = Json({{"sku", "NOT-A-CAMERA"}}).dump();
    spec.camera_state = {{0, R"({"exposure": 120})"}};
    const auto path = make_recording(dir.path(), "unknown.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    EXPECT_TRUE(replay.list_camera_controls().empty());
}

TEST_F(MkvFiles, PausedEveryFrameGrabWaitsBrieflyAndReturnsNothing) {
    const auto path = make_recording(dir.path(), "paused.mkv", {});
    MkvReplay replay(path, every_frame());
    replay.open();
    replay.pause();
    EXPECT_TRUE(replay.is_paused());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(replay.grab());
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(s, 0.04);
    EXPECT_LT(s, 2.0);
    replay.step_one_forward();  // the bypass lets exactly one frame through
    FramePtr f = replay.grab();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->source_frame_idx, 0);
    EXPECT_FALSE(replay.grab());
    replay.resume();
    f = replay.grab();
    ASSERT_TRUE(f);
    EXPECT_EQ(f->source_frame_idx, 1);
}

TEST_F(MkvFiles, StepsAreExactInBothDirections) {
    RecordingSpec spec;
    spec.frames = 100;
    const auto path = make_recording(dir.path(), "steps.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    testing::LogCapture cap(CHANNEL);
    replay.pause();
    replay.step_one_backward();  // before any frame: no change
    EXPECT_TRUE(cap.contains("step_one_backward: already at first frame", spdlog::level::debug));
    const auto index = replay.frame_index();
    for (int i = 0; i < 100; ++i) {
        replay.step_one_forward();
        FramePtr f = replay.grab();
        ASSERT_TRUE(f);
        ASSERT_EQ(f->source_frame_idx, i);
        ASSERT_EQ(f->pts_us, index[i]);
        ASSERT_FALSE(replay.grab());
    }
    replay.step_one_forward();
    EXPECT_TRUE(cap.contains("step_one_forward: already at last frame", spdlog::level::debug));
    EXPECT_FALSE(replay.grab());
    for (int i = 98; i >= 0; --i) {
        replay.step_one_backward();
        FramePtr f = replay.grab();
        ASSERT_TRUE(f);
        ASSERT_EQ(f->source_frame_idx, i);
        ASSERT_EQ(f->pts_us, index[i]);
    }
    replay.step_one_backward();
    EXPECT_FALSE(replay.grab());
}

TEST_F(MkvFiles, SeekLandsAtOrBeforeTheTarget) {
    RecordingSpec spec;
    spec.frames = 30;
    const auto path = make_recording(dir.path(), "seek.mkv", spec);
    MkvReplay replay(path, every_frame());
    replay.open();
    const auto index = replay.frame_index();
    for (std::int64_t target : {std::int64_t{50000}, std::int64_t{500000}, index[7], index[7] - 1,
                                std::int64_t{0}, std::int64_t{10000000}}) {
        replay.seek_relative_us(target);
        FramePtr f = replay.grab();
        ASSERT_TRUE(f) << target;
        // The target is taken to the nearest tick of the 1 ms time base first.
        const std::int64_t tick = detail::us_to_stream_ts(target, {1, 1000}) * 1000;
        const auto expected =
            std::upper_bound(index.begin(), index.end(), tick) - index.begin() - 1;
        EXPECT_EQ(f->source_frame_idx, expected) << target;
        EXPECT_LE(f->pts_us, tick);
    }
}

TEST_F(MkvFiles, RecordingWithoutVideoPacketsReturnsNothingInLoopMode) {
    // A video track that never received a packet, muxed by libavformat.
    const auto path = dir / "empty_video.mkv";
    {
        AVFormatContext* raw = nullptr;
        ASSERT_GE(avformat_alloc_output_context2(&raw, nullptr, "matroska", path.c_str()), 0);
        detail::OutputContextPtr out(raw);
        AVStream* st = avformat_new_stream(raw, nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
        st->codecpar->width = 64;
        st->codecpar->height = 32;
        st->time_base = {1, 1000};
        AVStream* sub = avformat_new_stream(raw, nullptr);
        sub->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        sub->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
        sub->time_base = {1, 1000};
        av_dict_set(&sub->metadata, "title", "camera_state", 0);
        ASSERT_GE(avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
        ASSERT_GE(avformat_write_header(raw, nullptr), 0);
        auto packet = detail::make_packet();
        const std::string text = R"({"exposure": 5})";
        ASSERT_GE(av_new_packet(packet.get(), static_cast<int>(text.size())), 0);
        std::copy(text.begin(), text.end(), packet->data);
        packet->stream_index = sub->index;
        packet->pts = packet->dts = 10;
        packet->duration = 1;
        ASSERT_GE(av_interleaved_write_frame(raw, packet.get()), 0);
        ASSERT_GE(av_write_trailer(raw), 0);
    }
    for (bool loop : {false, true}) {
        MkvReplay replay(path, every_frame(loop));
        replay.open();
        EXPECT_TRUE(replay.frame_index().empty());
        EXPECT_EQ(replay.camera_state_history().size(), 1u);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(replay.grab());
        EXPECT_FALSE(replay.grab());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    }
}

// ---------------------------------------------------------------------------
// Bad input

TEST_F(MkvFiles, BadInputFailsOpenWithAClearError) {
    const auto good = make_recording(dir.path(), "good.mkv", {});
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    testing::write_text(dir / "text.mkv", "this is not a recording\n");
    testing::write_text(dir / "empty.mkv", "");
    testing::write_text(dir / "head.mkv", bytes.substr(0, 40));
    testing::run_ok("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x32 -frames:v 2 " +
                    (dir / "mp4.mp4").string());
    testing::write_srt(dir / "only.srt", {{0, "{}"}});
    testing::run_ok("mkvmerge -q -o " + (dir / "novideo.mkv").string() +
                    " --track-name 0:camera_state " + (dir / "only.srt").string());
    const std::pair<std::string, std::string> cases[] = {
        {"missing.mkv", "cannot open recording"}, {"text.mkv", "cannot open recording"},
        {"empty.mkv", "cannot open recording"},   {"head.mkv", "cannot open recording"},
        {"mp4.mp4", "cannot open recording"},     {"novideo.mkv", "no video track in recording"},
    };
    for (const auto& [name, message] : cases) {
        testing::LogCapture cap(CHANNEL);
        MkvReplay replay(dir / name, every_frame());
        EXPECT_FALSE(replay.base_calibration());
        try {
            replay.open();
            ADD_FAILURE() << name << " opened";
        } catch (const RuntimeError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos)
                << name << ": " << e.what();
        }
        EXPECT_THROW(replay.grab(), RuntimeError) << name;
        replay.close();
    }
}

// A recording cut off mid-write replays its complete frames.
TEST_F(MkvFiles, TruncatedRecordingReplaysWhatItHolds) {
    RecordingSpec spec;
    spec.frames = 60;
    const auto good = make_recording(dir.path(), "full.mkv", spec);
    std::ifstream in(good, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (double fraction : {0.3, 0.55, 0.8}) {
        const auto cut = dir / fmt::format("cut{}.mkv", static_cast<int>(fraction * 100));
        testing::write_text(cut,
                            bytes.substr(0, static_cast<std::size_t>(bytes.size() * fraction)));
        MkvReplay replay(cut, every_frame(/*loop=*/true));
        replay.open();
        const auto index = replay.frame_index();
        EXPECT_GT(index.size(), 5u) << fraction;
        EXPECT_LT(index.size(), 60u) << fraction;
        for (std::size_t i = 0; i < index.size() + 3; ++i) {
            FramePtr f = replay.grab();
            ASSERT_TRUE(f) << fraction;
            EXPECT_EQ(f->source_frame_idx, static_cast<std::int64_t>(i % index.size()));
        }
        replay.pause();
        replay._seek_to_frame_idx(static_cast<std::int64_t>(index.size()) - 1);
        FramePtr last = replay.grab();
        ASSERT_TRUE(last);
        EXPECT_EQ(last->pts_us, index.back());
    }
}

TEST_F(MkvFiles, CloseIsIdempotentAndGrabThenFails) {
    const auto path = make_recording(dir.path(), "close.mkv", {});
    MkvReplay replay(path, every_frame());
    replay.open();
    EXPECT_TRUE(replay.grab());
    replay.close();
    replay.close();
    EXPECT_THROW(replay.grab(), RuntimeError);
    EXPECT_THROW(replay.seek_relative_us(0), RuntimeError);
    EXPECT_THROW(replay.step_one_forward(), RuntimeError);
}

// ---------------------------------------------------------------------------
// kelvo info / kelvo replay

TEST_F(MkvFiles, InfoCommandPrintsTheRecording) {
    RecordingSpec spec;
    spec.frames = 12;
    spec.tags = {{"CAPTURE_MODE", "1280x360@30-MJPG"}, {"RECORD_T0_UNIX_EPOCH_NS", "77"}};
    spec.camera_info =
        Json({{"sku", testing::KNOWN_SKU}, {"base_calibration", calibration_dict(500)}}).dump();
    spec.extra_attachments = {{"notes.txt", "x"}};
    spec.calibration = {{0, calibration_dict(501).dump()}};
    spec.camera_state = {{0, R"({"exposure": 99})"}, {100, R"({"exposure": 98})"}};
    const auto path = make_recording(dir.path(), "info.mkv", spec);
    std::string out;
    ASSERT_EQ(testing::run_command(
                  std::string(KELVO_CLI) + " info " + path.string() + " --json 2>/dev/null", &out),
              0);
    const Json j = Json::parse(out);
    std::vector<std::string> keys;
    for (const auto& [k, v] : j.items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"path",
                                              "fourcc",
                                              "codec",
                                              "decodable",
                                              "width",
                                              "height",
                                              "fps",
                                              "camera_name",
                                              "camera_serial",
                                              "sku",
                                              "clock_domain",
                                              "t0_monotonic_ns",
                                              "t0_utc_ns",
                                              "mode_slug",
                                              "duration_us",
                                              "frame_count",
                                              "calibration_events",
                                              "camera_state_events",
                                              "has_base_calibration",
                                              "camera_controls_snapshot",
                                              "attachments"}));
    EXPECT_EQ(j["fourcc"], "MJPG");
    EXPECT_EQ(j["sku"], testing::KNOWN_SKU);
    EXPECT_EQ(j["mode_slug"], "1280x360@30-MJPG");
    EXPECT_EQ(j["t0_utc_ns"], 77);
    EXPECT_EQ(j["frame_count"], 12);
    EXPECT_EQ(j["calibration_events"], 1);
    EXPECT_EQ(j["camera_state_events"], 2);
    EXPECT_EQ(j["has_base_calibration"], true);
    EXPECT_EQ(j["camera_controls_snapshot"], Json::parse(R"({"exposure": 99})"));
    EXPECT_EQ(j["attachments"].size(), 2u);

    const auto bare = make_recording(dir.path(), "bare.mkv", {});
    ASSERT_EQ(testing::run_command(
                  std::string(KELVO_CLI) + " info " + bare.string() + " --json 2>/dev/null", &out),
              0);
    const Json b = Json::parse(out);
    EXPECT_TRUE(b["sku"].is_null());
    EXPECT_TRUE(b["mode_slug"].is_null());
    EXPECT_TRUE(b["camera_controls_snapshot"].is_null());
    EXPECT_EQ(b["has_base_calibration"], false);
    EXPECT_EQ(b["attachments"], Json::array());

    EXPECT_EQ(testing::run_command(std::string(KELVO_CLI) + " info " + (dir / "nope.mkv").string() +
                                   " 2>/dev/null"),
              1);
    EXPECT_EQ(testing::run_command(std::string(KELVO_CLI) + " info 2>/dev/null"), 2);
}

TEST_F(MkvFiles, ReplayCommandPrintsOneLinePerFrame) {
    RecordingSpec spec;
    spec.frames = 8;
    spec.camera_info =
        Json({{"sku", testing::KNOWN_SKU}, {"base_calibration", calibration_dict(500)}}).dump();
    spec.camera_state = {{0, R"({"exposure": 99})"}};
    const auto path = make_recording(dir.path(), "replay.mkv", spec);
    const std::string cli = std::string(KELVO_CLI) + " replay " + path.string();
    std::string out;
    ASSERT_EQ(testing::run_command(cli + " --json 2>/dev/null", &out), 0);
    auto lines = json_lines(out);
    ASSERT_EQ(lines.size(), 8u);
    std::vector<std::string> keys;
    for (const auto& [k, v] : lines[0].items()) keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"sequence", "pts_us", "source_frame_idx", "size",
                                              "calibration", "controls"}));
    EXPECT_EQ(lines[3]["sequence"], 4);
    EXPECT_EQ(lines[3]["source_frame_idx"], 3);
    EXPECT_GT(lines[3]["size"].get<int>(), 100);
    EXPECT_EQ(lines[3]["calibration"], calibration_dict(500));
    EXPECT_EQ(lines[3]["controls"], Json::parse(R"({"exposure": 99.0})"));

    ASSERT_EQ(testing::run_command(cli + " --json --no-index --max-frames 3 2>/dev/null", &out), 0);
    lines = json_lines(out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[2]["source_frame_idx"].is_null());

    ASSERT_EQ(testing::run_command(cli + " --json --loop --max-frames 11 2>/dev/null", &out), 0);
    lines = json_lines(out);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[10]["source_frame_idx"], 2);

    ASSERT_EQ(testing::run_command(cli + " --json --seek 140000 2>/dev/null", &out), 0);
    lines = json_lines(out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0]["pts_us"], 133000);

    ASSERT_EQ(testing::run_command(cli + " --json --step 3 2>/dev/null", &out), 0);
    lines = json_lines(out);
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(lines[i]["source_frame_idx"], i);

    ASSERT_EQ(testing::run_command(cli + " --json --step -3 2>/dev/null", &out), 0);
    lines = json_lines(out);
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(lines[i]["source_frame_idx"], 7 - i);

    ASSERT_EQ(testing::run_command(cli + " --json --mode realtime 2>/dev/null", &out), 0);
    lines = json_lines(out);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0]["wall_ms"], 0.0);
    EXPECT_GT(lines[7]["wall_ms"].get<double>(), 150.0);
    EXPECT_EQ(lines[7]["source_frame_idx"], 7);

    EXPECT_EQ(testing::run_command(cli + " --step 1 --no-index 2>/dev/null"), 1);
    EXPECT_EQ(testing::run_command(cli + " --mode fast 2>/dev/null"), 2);
    EXPECT_EQ(testing::run_command(cli + " --max-frames x 2>/dev/null"), 2);
}

}  // namespace
}  // namespace kelvo
