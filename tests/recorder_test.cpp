// MkvRecorder: the file layout it writes (checked with libavformat and with
// ffprobe), recording time, events, the queue and the lifecycle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <spdlog/sinks/base_sink.h>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "recorder_support.hpp"
#include "support/log_capture.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace {

using testing::ffprobe;
using testing::make_frame;
using testing::make_jpeg;
using testing::make_yuyv;
using testing::read_recording;
using testing::TempDir;

const Json CAMERA_INFO = {{"os_id", "/dev/video2"},
                          {"sku", "KV-CORVAN-1"},
                          {"model_name", "Corvan"},
                          {"serial", "SN123"},
                          {"base_calibration", {{"image_size", {32, 32}}}}};

MkvRecorderOptions base_options(const std::filesystem::path& path) {
    return MkvRecorderOptions{
        .path = path.string(),
        .width = 64,
        .height = 32,
        .clock_domain = "linux_monotonic",
        .camera_info_payload = CAMERA_INFO,
        .camera_controls = Json{{"exposure", 120}, {"auto_exposure", true}},
        .camera_name = "Corvan",
        .camera_serial = "SN123",
        .camera_controls_provider = {},
        .capture_mode_slug = "64x32@30-MJPG",
        .source_fourcc = "MJPG",
        .t0_monotonic_ns_provider = [] { return std::optional<std::int64_t>(7'000'000'000); },
        .fps = std::nullopt,
        .queue_size = 64,
        .controls_poll_interval = 0.5,
    };
}

template <typename Pred>
bool wait_until(Pred pred, double seconds = 10.0) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

std::int64_t now_ns(bool wall) {
    const auto t = wall ? std::chrono::system_clock::now().time_since_epoch()
                        : std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t).count();
}

// ---------------------------------------------------------------------------
// Layout

TEST(RecorderLayout, FfprobeSeesTagsStreamsAttachmentAndEveryPacket) {
    TempDir dir("recorder");
    const auto path = dir / "layout.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    constexpr int N = 12;
    for (int i = 0; i < N; ++i) rec.feed(make_frame(make_jpeg(i), 500'000 + i * 33'333, i + 1));
    rec.write_calibration_update(Json{{"T", {0.1, 0, 0}}}, 500'000 + 4 * 33'333);
    rec.stop();

    const Json probe = ffprobe(path);
    ASSERT_TRUE(probe.is_object()) << "ffprobe could not read " << path;
    const Json& tags = probe["format"]["tags"];
    EXPECT_EQ(tags["RECORD_T0_HOST_MONOTONIC_NS"], "7500000000");
    EXPECT_EQ(tags["CAPTURE_CLOCK_DOMAIN"], "linux_monotonic");
    EXPECT_EQ(tags["CAMERA_NAME"], "Corvan");
    EXPECT_EQ(tags["CAMERA_SERIAL"], "SN123");
    EXPECT_EQ(tags["CAPTURE_MODE"], "64x32@30-MJPG");
    EXPECT_EQ(tags["FPS_TARGET"], "30.0");
    EXPECT_TRUE(tags.contains("RECORD_T0_UNIX_EPOCH_NS"));

    const Json& streams = probe["streams"];
    ASSERT_EQ(streams.size(), 4u);
    EXPECT_EQ(streams[0]["codec_type"], "video");
    EXPECT_EQ(streams[0]["codec_name"], "mjpeg");
    EXPECT_EQ(streams[0]["width"], 64);
    EXPECT_EQ(streams[0]["height"], 32);
    EXPECT_EQ(streams[0]["time_base"], "1/1000000");
    EXPECT_EQ(streams[1]["codec_type"], "subtitle");
    EXPECT_EQ(streams[1]["tags"]["title"], "calibration");
    EXPECT_EQ(streams[2]["codec_type"], "subtitle");
    EXPECT_EQ(streams[2]["tags"]["title"], "camera_state");
    EXPECT_EQ(streams[3]["codec_type"], "attachment");
    EXPECT_EQ(streams[3]["tags"]["filename"], "camera_info.json");
    EXPECT_EQ(streams[3]["tags"]["mimetype"], "application/json");
    // The per-track duration tags are in real time, not in the muxer's unit.
    EXPECT_EQ(streams[0]["tags"]["DURATION"], "00:00:00.399996000");  // 12 frames of 33 333 µs

    std::vector<std::int64_t> video_pts;
    int subtitle_packets = 0;
    for (const auto& p : probe["packets"]) {
        if (p["codec_type"] == "video") {
            video_pts.push_back(p["pts"].get<std::int64_t>());
            EXPECT_EQ(p["flags"].get<std::string>().substr(0, 1), "K");
        } else if (p["codec_type"] == "subtitle") {
            ++subtitle_packets;
        }
    }
    ASSERT_EQ(video_pts.size(), static_cast<std::size_t>(N));
    for (int i = 0; i < N; ++i) EXPECT_EQ(video_pts[i], i * 33'333);
    EXPECT_EQ(subtitle_packets, 2);  // the first camera_state snapshot and one calibration
    EXPECT_EQ(probe["format"]["duration"], "0.399996");
}

TEST(RecorderLayout, MkvToolNixReadsTheFileToo) {
    TempDir dir("recorder");
    const auto path = dir / "mkvtoolnix.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    for (int i = 0; i < 5; ++i) rec.feed(make_frame(make_jpeg(i), i * 33'333 + 7, i + 1));
    rec.stop();

    std::string out;
    ASSERT_EQ(testing::run_command("mkvmerge -J '" + path.string() + "'", &out), 0) << out;
    const Json id = Json::parse(out);
    EXPECT_TRUE(id["container"]["recognized"].get<bool>());
    EXPECT_TRUE(id["errors"].empty());
    EXPECT_TRUE(id["warnings"].empty());
    ASSERT_EQ(id["tracks"].size(), 3u);
    EXPECT_EQ(id["tracks"][0]["codec"], "V_MJPEG");
    EXPECT_EQ(id["tracks"][1]["properties"]["track_name"], "calibration");
    EXPECT_EQ(id["tracks"][2]["properties"]["track_name"], "camera_state");
    ASSERT_EQ(id["attachments"].size(), 1u);
    EXPECT_EQ(id["attachments"][0]["file_name"], "camera_info.json");

    // The microsecond timestamp scale, as an independent reader sees it.
    ASSERT_EQ(testing::run_command("mkvinfo '" + path.string() + "'", &out), 0);
    EXPECT_NE(out.find("Timestamp scale: 1000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Duration: 00:00:00.166665000"), std::string::npos) << out;
}

TEST(RecorderLayout, LibavformatReadsBackPayloadsTimesEventsAttachmentAndCues) {
    TempDir dir("recorder");
    const auto path = dir / "readback.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    std::vector<std::vector<std::uint8_t>> payloads;
    for (int i = 0; i < 20; ++i) {
        payloads.push_back(make_jpeg(i));
        rec.feed(make_frame(payloads.back(), 1'000'001 + i * 33'337, i + 1));
        if (i == 10) rec.write_calibration_update(Json{{"epoch", 2}}, 1'000'001 + 10 * 33'337);
    }
    rec.write_camera_state(Json{{"exposure", 300}}, 1'000'001 + 19 * 33'337);
    const auto result = rec.stop();

    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened) << back.open_error;
    EXPECT_EQ(back.video_codec, "mjpeg");
    EXPECT_EQ(back.width, 64);
    EXPECT_EQ(back.height, 32);
    EXPECT_EQ(back.index_entries_at_open, 20) << "one cue per frame";
    ASSERT_EQ(back.video.size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(back.video[i].pts_us, i * 33'337);
        EXPECT_TRUE(back.video[i].key);
        EXPECT_EQ(back.video[i].data, payloads[i]) << "frame " << i;
    }
    ASSERT_EQ(back.attachments.count("camera_info.json"), 1u);
    EXPECT_EQ(back.attachments.at("camera_info.json"), CAMERA_INFO.dump());

    const auto& cal = back.events.at("calibration");
    ASSERT_EQ(cal.size(), 1u);
    EXPECT_EQ(cal[0].first, 10 * 33'337);
    EXPECT_EQ(cal[0].second, R"({"epoch":2})");  // one JSON document, nothing around it
    const auto& state = back.events.at("camera_state");
    ASSERT_EQ(state.size(), 2u);
    EXPECT_EQ(state[0].first, 0);
    EXPECT_EQ(Json::parse(state[0].second), (Json{{"exposure", 120}, {"auto_exposure", true}}));
    EXPECT_EQ(state[1].first, 19 * 33'337);
    EXPECT_EQ(state[1].second, R"({"exposure":300})");

    EXPECT_EQ(result.frames_written, 20);
    EXPECT_EQ(result.frames_dropped, 0);
    EXPECT_EQ(result.duration_us, 19 * 33'337);
    EXPECT_EQ(result.bytes, static_cast<std::int64_t>(std::filesystem::file_size(path)));
    EXPECT_EQ(result.path, path.string());
}

TEST(RecorderLayout, YuyvIsRawvideoTaggedYuy2) {
    TempDir dir("recorder");
    const auto path = dir / "yuyv.mkv";
    auto options = base_options(path);
    options.width = 16;
    options.height = 8;
    options.source_fourcc = "yuyv";  // any case
    MkvRecorder rec(options);
    rec.start();
    for (int i = 0; i < 3; ++i) rec.feed(make_frame(make_yuyv(i, 16, 8), i * 100'000, i + 1));
    rec.stop();

    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened) << back.open_error;
    EXPECT_EQ(back.video_codec, "rawvideo");
    EXPECT_EQ(back.video_tag, "YUY2");
    ASSERT_EQ(back.video.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(back.video[i].data, make_yuyv(i, 16, 8));
    const Json probe = ffprobe(path);
    ASSERT_TRUE(probe.is_object());
    EXPECT_EQ(probe["streams"][0]["codec_tag_string"], "YUY2");
    EXPECT_EQ(probe["streams"][0]["codec_name"], "rawvideo");
}

// ---------------------------------------------------------------------------
// Recording time

struct TimeCase {
    const char* name;
    std::vector<std::int64_t> source_pts;
    std::vector<std::int64_t> recorded_pts;
};

// Keeps ctest's listing readable: the case's name instead of its bytes.
void PrintTo(const TimeCase& c, std::ostream* os) {
    *os << c.name;
}

class RecorderTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(RecorderTime, PtsAreMicrosecondsFromTheFirstFedFrame) {
    TempDir dir("recorder");
    const auto path = dir / "time.mkv";
    MkvRecorder rec(base_options(path));  // 30 fps: a step back continues 33 333 µs later
    rec.start();
    const auto& c = GetParam();
    for (std::size_t i = 0; i < c.source_pts.size(); ++i)
        rec.feed(make_frame(make_jpeg(static_cast<int>(i)), c.source_pts[i],
                            static_cast<std::int64_t>(i) + 1));
    rec.stop();
    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened) << back.open_error;
    std::vector<std::int64_t> got;
    for (const auto& p : back.video) got.push_back(p.pts_us);
    EXPECT_EQ(got, c.recorded_pts);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecorderTime,
    ::testing::Values(
        TimeCase{"from_zero", {0, 1, 2, 999, 1001, 33'333}, {0, 1, 2, 999, 1001, 33'333}},
        TimeCase{"late_start", {5'000'000'123, 5'000'033'456}, {0, 33'333}},
        TimeCase{"negative_source_time", {-40'000, -6'667, 26'666}, {0, 33'333, 66'666}},
        TimeCase{"long_gap", {0, 3'600'000'001}, {0, 3'600'000'001}},
        TimeCase{"loop_back", {0, 33'333, 66'666, 0, 33'333}, {0, 33'333, 66'666, 99'999, 133'332}},
        TimeCase{"equal_time", {0, 10, 10}, {0, 10, 33'343}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecorderTags, T0TagsFollowTheProviderAndTheClocks) {
    TempDir dir("recorder");
    struct Case {
        std::function<std::optional<std::int64_t>()> provider;
        bool from_provider;
    };
    const std::vector<Case> cases = {
        {[] { return std::optional<std::int64_t>(123'000); }, true},
        {[] { return std::optional<std::int64_t>(); }, false},
        {[]() -> std::optional<std::int64_t> { throw std::runtime_error("no clock"); }, false},
        {nullptr, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        testing::LogCapture cap("kelvo_camera_sdk.recorder");
        const auto path = dir / ("t0_" + std::to_string(n++) + ".mkv");
        auto options = base_options(path);
        options.t0_monotonic_ns_provider = c.provider;
        const auto steady_before = now_ns(false);
        const auto wall_before = now_ns(true);
        MkvRecorder rec(options);
        rec.start();
        rec.feed(make_frame(make_jpeg(0), 2'000, 1));
        rec.stop();
        const auto steady_after = now_ns(false);
        const auto wall_after = now_ns(true);
        const auto back = read_recording(path);
        ASSERT_TRUE(back.opened);
        const auto mono = std::stoll(back.tags.at("RECORD_T0_HOST_MONOTONIC_NS"));
        const auto wall = std::stoll(back.tags.at("RECORD_T0_UNIX_EPOCH_NS"));
        if (c.from_provider) {
            EXPECT_EQ(mono, 123'000 + 2'000'000);  // moved to the first recorded frame
        } else {
            EXPECT_GE(mono, steady_before);
            EXPECT_LE(mono, steady_after);
        }
        EXPECT_GE(wall, wall_before);
        EXPECT_LE(wall, wall_after);
        EXPECT_EQ(cap.contains("recorder: t0_monotonic_ns_provider failed (non-fatal)",
                               spdlog::level::err),
                  n == 3);
    }
}

TEST(RecorderTags, FpsTargetFromOptionSlugOrDefault) {
    TempDir dir("recorder");
    struct Case {
        std::optional<double> fps;
        std::string slug;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "1280x720@7.5-YUYV", "7.5"},
        {std::nullopt, "64x32@30-MJPG", "30.0"},
        {std::nullopt, "", "30.0"},
        {std::nullopt, "odd@fast-MJPG", "30.0"},
        {std::optional<double>(60.0), "64x32@30-MJPG", "60.0"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const auto path = dir / ("fps_" + std::to_string(n++) + ".mkv");
        auto options = base_options(path);
        options.fps = c.fps;
        options.capture_mode_slug = c.slug;
        MkvRecorder rec(options);
        rec.start();
        rec.feed(make_frame(make_jpeg(0), 0, 1));
        rec.stop();
        const auto back = read_recording(path);
        ASSERT_TRUE(back.opened);
        EXPECT_EQ(back.tags.at("FPS_TARGET"), c.expected) << c.slug;
        EXPECT_EQ(back.tags.at("CAPTURE_MODE"), c.slug);
    }
}

// ---------------------------------------------------------------------------
// Events

TEST(RecorderEvents, CalibrationTimesAreRecordingRelativeAndNeverGoBack) {
    TempDir dir("recorder");
    const auto path = dir / "cal.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    rec.write_calibration_update(Json{{"n", 0}}, 0);  // before the first frame: from the start
    rec.feed(make_frame(make_jpeg(0), 10'000'000, 1));
    rec.write_calibration_update(Json{{"n", 1}}, 9'000'000);  // before the first frame's time
    rec.feed(make_frame(make_jpeg(1), 10'033'333, 2));
    rec.write_calibration_update(Json{{"n", 2}}, 10'500'000);
    rec.write_calibration_update(Json{{"n", 3}}, 10'400'000);  // older than the previous one
    rec.write_calibration_update(Json{{"n", 4}}, 10'500'000);  // equal times are kept in order
    rec.stop();

    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened);
    std::vector<std::pair<std::int64_t, std::string>> expected = {{0, R"({"n":0})"},
                                                                  {0, R"({"n":1})"},
                                                                  {500'000, R"({"n":2})"},
                                                                  {500'000, R"({"n":3})"},
                                                                  {500'000, R"({"n":4})"}};
    EXPECT_EQ(back.events.at("calibration"), expected);
}

TEST(RecorderEvents, BadEventsAreRefusedWithAClearError) {
    TempDir dir("recorder");
    MkvRecorder rec(base_options(dir / "bad_events.mkv"));
    rec.start();
    EXPECT_THROW(rec.write_calibration_update(Json::array({1, 2}), 0), std::invalid_argument);
    EXPECT_THROW(rec.write_calibration_update(Json(5), 0), std::invalid_argument);
    EXPECT_THROW(rec.write_camera_state(Json("x"), 0), std::invalid_argument);
    EXPECT_THROW(rec.write_calibration_update(Json{{"bad", std::string("\xff\xfe")}}, 0),
                 std::invalid_argument);
    rec.feed(make_frame(make_jpeg(0), 0, 1));
    rec.stop();
    const auto back = read_recording(dir / "bad_events.mkv");
    EXPECT_TRUE(back.events.at("calibration").empty());
}

TEST(RecorderEvents, PolledControlsAreWrittenOnlyWhenTheyChange) {
    TempDir dir("recorder");
    const auto path = dir / "controls.mkv";
    testing::LogCapture cap("kelvo_camera_sdk.recorder");
    std::mutex mutex;
    std::vector<Json> script = {Json{{"exposure", 120}, {"auto_exposure", true}},
                                Json{{"exposure", 120}, {"auto_exposure", true}},
                                Json{{"exposure", 200}, {"auto_exposure", false}},
                                Json(nullptr),  // "raise"
                                Json{{"exposure", 200}, {"auto_exposure", false}},
                                Json{{"exposure", 250}, {"auto_exposure", false}}};
    std::size_t calls = 0;
    auto options = base_options(path);
    options.controls_poll_interval = 0.01;
    options.camera_controls_provider = [&]() -> Json {
        std::lock_guard lock(mutex);
        const Json value = script[std::min(calls, script.size() - 1)];
        ++calls;
        if (value.is_null()) throw std::runtime_error("device gone");
        return value;
    };
    MkvRecorder rec(options);
    rec.start();
    rec.feed(make_frame(make_jpeg(0), 0, 1));
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(mutex);
        return calls > script.size() + 2;
    }));
    rec.stop();
    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened);
    std::vector<std::string> texts;
    for (const auto& [t, text] : back.events.at("camera_state")) texts.push_back(text);
    EXPECT_EQ(texts, (std::vector<std::string>{R"({"exposure":120,"auto_exposure":true})",
                                               R"({"exposure":200,"auto_exposure":false})",
                                               R"({"exposure":250,"auto_exposure":false})"}));
    EXPECT_EQ(cap.count("recorder: camera_controls_provider failed (non-fatal)"), 1u);
}

// ---------------------------------------------------------------------------
// Queue, repeats, pause, bad frames

TEST(RecorderQueue, AFullQueueDropsAndCounts) {
    TempDir dir("recorder");
    const auto path = dir / "queue.mkv";
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
    auto options = base_options(path);
    options.queue_size = 4;
    // The writer calls the provider with the first frame: hold it there.
    options.t0_monotonic_ns_provider = [&]() -> std::optional<std::int64_t> {
        std::unique_lock lock(mutex);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        return 0;
    };
    MkvRecorder rec(options);
    rec.start();
    rec.feed(make_frame(make_jpeg(0), 0, 1));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
    }
    for (int i = 1; i <= 10; ++i) rec.feed(make_frame(make_jpeg(i), i * 33'333, i + 1));
    EXPECT_EQ(rec.status().frames_dropped, 6);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    cv.notify_all();
    const auto result = rec.stop();
    EXPECT_EQ(result.frames_written, 5);
    EXPECT_EQ(result.frames_dropped, 6);
    const auto back = read_recording(path);
    ASSERT_EQ(back.video.size(), 5u);
    EXPECT_EQ(back.video[4].data, make_jpeg(4));
}

// A feeder that may wait (a replay's worker) loses nothing to a slow writer;
// a stop, a pause or a failure releases a waiting feed at once.
TEST(RecorderQueue, AFullQueueMakesAWaitingFeederWaitAndLosesNothing) {
    TempDir dir("recorder");
    const struct {
        const char* name;
        std::function<void(MkvRecorder&)> release;  ///< while a feed waits; null: the writer
        std::int64_t written;
    } cases[] = {
        {"the writer takes frames", nullptr, 40},
        {"stop", [](MkvRecorder& r) { r.stop(); }, 3},
        {"pause", [](MkvRecorder& r) { r.pause(); }, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / (std::string(c.name) + ".mkv");
        std::promise<void> hold_writer;
        auto held = hold_writer.get_future().share();
        auto options = base_options(path);
        options.queue_size = 2;
        options.wait_when_full = true;
        // The writer stops at the first frame until told to go on.
        options.t0_monotonic_ns_provider = [held]() -> std::optional<std::int64_t> {
            held.wait();
            return 0;
        };
        MkvRecorder rec(options);
        rec.start();
        std::atomic<int> fed{0};
        const int frames = c.release ? 4 : 40;
        std::thread feeder([&] {
            for (int i = 0; i < frames; ++i) {
                rec.feed(make_frame(make_jpeg(i), i * 33'333, i + 1));
                ++fed;
            }
        });
        // One frame with the writer, two queued: the fourth feed waits.
        ASSERT_TRUE(wait_until([&] { return fed.load() == 3; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(fed.load(), 3);
        if (c.release) {
            std::thread releaser([&] { c.release(rec); });
            ASSERT_TRUE(wait_until([&] { return fed.load() == frames; }));
            hold_writer.set_value();
            releaser.join();
        } else {
            hold_writer.set_value();
        }
        feeder.join();
        const auto result = rec.stop();
        EXPECT_EQ(result.frames_written, c.written);
        EXPECT_EQ(result.frames_dropped, 0);
    }
}

TEST(RecorderQueue, EveryFedFrameIsWrittenAlsoWhenSequencesStartOver) {
    // Which path feeds a recording is the controller's decision; the recorder
    // itself drops nothing by sequence number (a re-opened source counts from 1).
    TempDir dir("recorder");
    const auto path = dir / "restart.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    const std::vector<FramePtr> frames = {
        make_frame(make_jpeg(1), 0, 1), make_frame(make_jpeg(2), 33'333, 2),
        make_frame(make_jpeg(3), 66'666, 1), make_frame(make_jpeg(4), 99'999, 2)};
    for (const auto& frame : frames) rec.feed(frame);
    rec.feed(nullptr);
    const auto result = rec.stop();
    EXPECT_EQ(result.frames_written, 4);
    EXPECT_EQ(result.frames_dropped, 0);
    const auto back = read_recording(path);
    ASSERT_EQ(back.video.size(), 4u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(back.video[i].data, frames[i]->payload);
}

TEST(RecorderQueue, FramesFedWhilePausedAreNotWritten) {
    TempDir dir("recorder");
    const auto path = dir / "pause.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    rec.feed(make_frame(make_jpeg(0), 0, 1));
    rec.pause();
    EXPECT_TRUE(rec.is_paused());
    EXPECT_TRUE(rec.is_running());
    EXPECT_TRUE(rec.status().is_paused);
    rec.feed(make_frame(make_jpeg(1), 33'333, 2));
    rec.feed(make_frame(make_jpeg(2), 66'666, 3));
    rec.resume();
    EXPECT_FALSE(rec.is_paused());
    rec.feed(make_frame(make_jpeg(3), 99'999, 4));
    const auto result = rec.stop();
    EXPECT_EQ(result.frames_written, 2);
    EXPECT_EQ(result.frames_dropped, 0);
    const auto back = read_recording(path);
    ASSERT_EQ(back.video.size(), 2u);
    EXPECT_EQ(back.video[1].pts_us, 99'999);  // the pause stays a gap in recording time
    EXPECT_EQ(back.video[1].data, make_jpeg(3));
}

TEST(RecorderQueue, EmptyOrMisSizedFramesAreDroppedWithAWarning) {
    TempDir dir("recorder");
    testing::LogCapture cap("kelvo_camera_sdk.recorder");
    auto options = base_options(dir / "bad_frames.mkv");
    options.source_fourcc = "YUYV";
    options.width = 8;
    options.height = 4;
    MkvRecorder rec(options);
    rec.start();
    rec.feed(make_frame({}, 0, 1));
    rec.feed(make_frame(make_yuyv(0, 8, 3), 1, 2));
    rec.feed(make_frame(make_yuyv(0, 8, 4), 2, 3));
    const auto result = rec.stop();
    EXPECT_EQ(result.frames_written, 1);
    EXPECT_EQ(result.frames_dropped, 2);
    EXPECT_EQ(cap.count("recorder: frame of 0 bytes does not fit", spdlog::level::warn), 1u);
}

// ---------------------------------------------------------------------------
// Lifecycle and errors

TEST(RecorderLifecycle, StatusStopAndSecondStop) {
    TempDir dir("recorder");
    const auto path = dir / "life.mkv";
    MkvRecorder rec(base_options(path));
    EXPECT_FALSE(rec.is_running());
    EXPECT_EQ(rec.status().state, "idle");
    EXPECT_THROW(rec.stop(), RuntimeError);
    rec.start();
    EXPECT_TRUE(rec.is_running());
    EXPECT_EQ(rec.status().state, "recording");
    rec.pause();
    EXPECT_EQ(rec.status().state, "paused");
    rec.resume();
    EXPECT_THROW(rec.start(), RuntimeError);
    for (int i = 0; i < 5; ++i) rec.feed(make_frame(make_jpeg(i), i * 40'000, i + 1));
    ASSERT_TRUE(wait_until([&] { return rec.status().frames_written == 5; }));
    const auto st = rec.status();
    EXPECT_TRUE(st.is_running);
    EXPECT_EQ(st.duration_us, 160'000);
    EXPECT_EQ(st.path, path.string());
    EXPECT_GT(st.bytes_written, 0);
    EXPECT_EQ(st.to_json()["frames_written"], 5);
    EXPECT_EQ(st.to_json()["state"], "recording");
    EXPECT_TRUE(st.to_json()["reason"].is_null());
    const auto first = rec.stop();
    EXPECT_FALSE(rec.is_running());
    EXPECT_EQ(rec.status().state, "idle");
    rec.feed(make_frame(make_jpeg(9), 999'999, 99));  // ignored after stop
    const auto second = rec.stop();
    EXPECT_EQ(first.to_json(), second.to_json());
    EXPECT_EQ(first.frames_written, 5);
    EXPECT_EQ(read_recording(path).video.size(), 5u);
}

TEST(RecorderLifecycle, ARecordingWithoutFramesIsStillAValidFile) {
    TempDir dir("recorder");
    const auto path = dir / "empty.mkv";
    MkvRecorder rec(base_options(path));
    rec.start();
    rec.write_calibration_update(Json{{"n", 1}}, 123);
    const auto result = rec.stop();
    EXPECT_EQ(result.frames_written, 0);
    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened) << back.open_error;
    EXPECT_TRUE(back.video.empty());
    EXPECT_EQ(back.tags.at("CAMERA_NAME"), "Corvan");
    EXPECT_EQ(back.attachments.count("camera_info.json"), 1u);
    ASSERT_EQ(back.events.at("calibration").size(), 1u);
    EXPECT_EQ(back.events.at("calibration")[0].first, 0);
}

TEST(RecorderLifecycle, DestructionFinishesTheFile) {
    TempDir dir("recorder");
    const auto path = dir / "dtor.mkv";
    {
        MkvRecorder rec(base_options(path));
        rec.start();
        for (int i = 0; i < 3; ++i) rec.feed(make_frame(make_jpeg(i), i * 1'000, i + 1));
    }
    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.video.size(), 3u);
    EXPECT_EQ(back.index_entries_at_open, 3);
}

TEST(RecorderLifecycle, InvalidOptionsAreRefused) {
    struct Case {
        const char* name;
        std::function<void(MkvRecorderOptions&)> change;
    };
    const std::vector<Case> cases = {
        {"h264", [](auto& o) { o.source_fourcc = "H264"; }},
        {"zero_width", [](auto& o) { o.width = 0; }},
        {"negative_height", [](auto& o) { o.height = -4; }},
        {"no_path", [](auto& o) { o.path.clear(); }},
        {"empty_queue", [](auto& o) { o.queue_size = 0; }},
        {"negative_fps", [](auto& o) { o.fps = -1.0; }},
        {"info_array", [](auto& o) { o.camera_info_payload = Json::array(); }},
    };
    for (const auto& c : cases) {
        auto options = base_options("/tmp/never_written.mkv");
        c.change(options);
        EXPECT_THROW(MkvRecorder rec(options), std::invalid_argument) << c.name;
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/never_written.mkv"));
}

TEST(RecorderLifecycle, StartFailsClearlyOnAnUnwritablePath) {
    TempDir dir("recorder");
    MkvRecorder rec(base_options(dir / "missing_dir" / "x.mkv"));
    try {
        rec.start();
        FAIL() << "start() should fail";
    } catch (const RuntimeError& e) {
        EXPECT_NE(std::string(e.what()).find("missing_dir/x.mkv"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(rec.is_running());
}

TEST(RecorderLifecycle, AWriteErrorStopsTheRecorderAndIsLogged) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    testing::LogCapture cap("kelvo_camera_sdk.recorder");
    MkvRecorder rec(base_options("/dev/full"));
    rec.start();
    EXPECT_TRUE(rec.is_running());
    rec.feed(make_frame(make_jpeg(0), 0, 1));
    ASSERT_TRUE(wait_until([&] { return !rec.is_running(); }));
    EXPECT_TRUE(cap.contains("recording failed, stopping: /dev/full", spdlog::level::err));
    // The status says so, and why, also after the owner's stop.
    for (int round = 0; round < 2; ++round) {
        const RecordingStatus st = rec.status();
        EXPECT_EQ(st.state, "failed");
        ASSERT_TRUE(st.reason);
        EXPECT_FALSE(st.reason->empty());
        EXPECT_EQ(st.to_json()["reason"], *st.reason);
        if (round == 0) {
            rec.feed(make_frame(make_jpeg(1), 1, 2));  // ignored
            EXPECT_EQ(rec.stop().frames_written, 0);
        }
    }
}

// ---------------------------------------------------------------------------
// Threads

TEST(RecorderThreads, FeedEventsAndControlCallsFromSeveralThreads) {
    TempDir dir("recorder");
    const auto path = dir / "threads.mkv";
    auto options = base_options(path);
    options.queue_size = 8;
    options.controls_poll_interval = 0.001;
    std::atomic<int> polls{0};
    options.camera_controls_provider = [&] { return Json{{"exposure", polls++ % 3}}; };
    MkvRecorder rec(options);
    rec.start();
    constexpr int N = 300;
    const auto payload = make_jpeg(0);
    std::thread pump([&] {
        for (int i = 0; i < N; ++i) rec.feed(make_frame(payload, i * 33'333, i + 1));
    });
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) rec.write_calibration_update(Json{{"i", i}}, i * 200'000);
    });
    std::thread control([&] {
        for (int i = 0; i < 100; ++i) {
            (void)rec.status();
            (void)rec.is_paused();
        }
    });
    pump.join();
    worker.join();
    control.join();
    const auto result = rec.stop();
    EXPECT_EQ(result.frames_written + result.frames_dropped, N);
    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(static_cast<std::int64_t>(back.video.size()), result.frames_written);
    EXPECT_EQ(back.events.at("calibration").size(), 50u);
    for (std::size_t i = 1; i < back.video.size(); ++i)
        EXPECT_LT(back.video[i - 1].pts_us, back.video[i].pts_us);
}

// ---------------------------------------------------------------------------
// Host code calling back into the recorder

/// Runs `call` on a thread of its own; false when it has not returned within
/// `seconds` (a deadlock fails the test instead of hanging it; whatever the
/// call holds by shared pointer stays alive for the stuck thread).
bool returns_within(std::function<void()> call, double seconds = 10.0) {
    auto done = std::make_shared<std::promise<void>>();
    auto returned = done->get_future();
    std::thread([call = std::move(call), done] {
        call();
        done->set_value();
    }).detach();
    return returned.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready;
}

/// A provider that, on the writer thread, stops the recorder while its owner
/// is stopping it too.
struct StoppingProvider {
    std::atomic<MkvRecorder*> recorder{nullptr};
    std::atomic<bool> entered{false};
    std::atomic<bool> owner_stopping{false};
    std::atomic<bool> stopped_from_writer{false};

    void call() {
        if (entered.exchange(true)) return;
        while (!owner_stopping.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the owner is in stop()
        recorder.load()->stop();
        stopped_from_writer = true;
    }
};

TEST(RecorderHostCode, AProviderMayStopTheRecorderWhileItsOwnerStopsIt) {
    struct Case {
        const char* provider;
        std::function<void(MkvRecorderOptions&, std::shared_ptr<StoppingProvider>)> install;
    };
    const std::vector<Case> cases = {
        {"camera_controls_provider",
         [](MkvRecorderOptions& o, std::shared_ptr<StoppingProvider> p) {
             o.controls_poll_interval = 0.0;
             o.camera_controls_provider = [p] {
                 p->call();
                 return Json::object();
             };
         }},
        {"t0_monotonic_ns_provider",
         [](MkvRecorderOptions& o, std::shared_ptr<StoppingProvider> p) {
             o.t0_monotonic_ns_provider = [p] {
                 p->call();
                 return std::optional<std::int64_t>(0);
             };
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.provider);
        TempDir dir("recorder");
        const auto path = dir / "reentrant.mkv";
        auto options = base_options(path);
        auto provider = std::make_shared<StoppingProvider>();
        c.install(options, provider);
        auto rec = std::make_shared<MkvRecorder>(options);
        provider->recorder = rec.get();
        rec->start();
        rec->feed(make_frame(make_jpeg(0), 0, 1));
        ASSERT_TRUE(wait_until([&] { return provider->entered.load(); }));
        provider->owner_stopping = true;
        auto result = std::make_shared<RecordingResult>();
        ASSERT_TRUE(returns_within([rec, result] { *result = rec->stop(); }));
        EXPECT_TRUE(wait_until([&] { return provider->stopped_from_writer.load(); }));
        EXPECT_EQ(result->frames_written, 1);  // the owner's stop() waited for the finished file
        EXPECT_EQ(read_recording(path).video.size(), 1u);
    }
}

/// A log sink that calls host code for every record (as one that forwards to
/// another language's logging does).
class CallingSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    explicit CallingSink(std::function<void()> call) : _call(std::move(call)) {}

  protected:
    void sink_it_(const spdlog::details::log_msg&) override { _call(); }
    void flush_() override {}

  private:
    std::function<void()> _call;
};

TEST(RecorderHostCode, ALogSinkMayCallTheRecorderWhileItWarns) {
    TempDir dir("recorder");
    auto rec = std::make_shared<MkvRecorder>(base_options(dir / "sink.mkv"));
    std::weak_ptr<MkvRecorder> weak = rec;
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto sink = std::make_shared<CallingSink>([weak, calls] {
        if (auto r = weak.lock()) {
            (void)r->status();
            (void)r->is_paused();
            ++*calls;
        }
    });
    auto logger = get_logger("kelvo_camera_sdk.recorder");
    logger->sinks().push_back(sink);
    rec->start();
    // An empty frame is dropped with a warning, on the caller's thread.
    const bool returned = returns_within([rec] { rec->feed(make_frame({}, 0, 1)); });
    EXPECT_TRUE(returned);
    EXPECT_GE(calls->load(), 1);
    if (returned) rec->stop();  // a stuck feed keeps its lock: stopping would hang too
    auto& sinks = logger->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
}

TEST(RecorderHostileMetadata, TimesStayInRangeWhateverTheSourceClaims) {
    // A source's metadata comes from whatever recording it replays: rates far
    // outside a camera's, and clocks near the 64-bit limit.
    struct Case {
        const char* name;
        std::optional<double> fps;
        std::int64_t t0_ns;
        std::int64_t first_pts_us;
        std::int64_t spacing_us;
        std::string t0_tag;  ///< expected; empty: the host's clock
    };
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    const Case cases[] = {
        {"a micro-rate", 1e-6, 7'000'000'000, 0, 40'000, "7000000000"},
        {"an overflowing rate", 1e-13, 7'000'000'000, 0, 40'000, "7000000000"},
        {"a giga-rate", 1e9, 7'000'000'000, 0, 40'000, "7000000000"},
        {"t0 at the limit", 30.0, max - 10, 1'000'000, 40'000, ""},
        {"times at the limit", 30.0, 7'000'000'000, max - 200'000, 40'000, ""},
        {"times at the bottom", 30.0, 7'000'000'000, min + 10, 40'000, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("recorder");
        const auto path = dir / "metadata.mkv";
        auto options = base_options(path);
        options.fps = c.fps;
        options.t0_monotonic_ns_provider = [t0 = c.t0_ns] { return std::optional(t0); };
        MkvRecorder rec(options);
        rec.start();
        // Five frames, then the source loops back (time goes back) for five more.
        for (int pass = 0; pass < 2; ++pass) {
            for (int i = 0; i < 5; ++i) {
                const std::int64_t step = i * c.spacing_us;
                const std::int64_t pts = c.first_pts_us > max - step ? max : c.first_pts_us + step;
                rec.feed(make_frame(make_jpeg(i), pts, pass * 5 + i + 1));
            }
        }
        const auto result = rec.stop();
        EXPECT_EQ(result.frames_written, 10);
        // Ten frames about 40 ms apart: the file lasts well under a second,
        // not days, whatever the claimed rate.
        EXPECT_GE(result.duration_us, 0);
        EXPECT_LT(result.duration_us, 1'000'000);
        const auto back = read_recording(path);
        ASSERT_EQ(back.video.size(), 10u);
        for (std::size_t i = 1; i < back.video.size(); ++i) {
            EXPECT_GT(back.video[i].pts_us, back.video[i - 1].pts_us) << i;
        }
        if (!c.t0_tag.empty()) {
            EXPECT_EQ(back.tags.at("RECORD_T0_HOST_MONOTONIC_NS"), c.t0_tag);
        } else {
            EXPECT_NE(back.tags.at("RECORD_T0_HOST_MONOTONIC_NS"), "");
        }
    }
}

}  // namespace
}  // namespace kelvo
