// Recordings from strangers: hostile or broken JSON, frames that are not what
// the track says, times out of order. Each is built at test time and must
// give the documented result: no crash, bounded memory, the message, and
// every readable frame.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "kelvo/calibration.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_timed_recording.hpp"
#include "support/log_capture.hpp"

namespace kelvo {
namespace {

using testing::RecordingSpec;
using testing::TempDir;
constexpr const char* CHANNEL = "kelvo_camera_sdk.mkv_replay";

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string camera_info_with(const Json& base_calibration) {
    Json info = Json::object();
    info["sku"] = testing::KNOWN_SKU;
    info["base_calibration"] = base_calibration;
    return info.dump();
}

std::vector<FramePtr> every_frame(MkvReplay& replay) {
    std::vector<FramePtr> out;
    while (FramePtr f = replay.grab()) out.push_back(f);
    return out;
}

TEST(MkvHostileJson, BadBlocksAreSkippedWithTheirReasonAndReplayGoesOn) {
    struct Case {
        const char* name;
        std::function<void(RecordingSpec&)> build;
        const char* message;  ///< a warning holding this text
        const char* reason;
        bool base_calibration;  ///< the factory calibration survives
    };
    const std::string deep = nested(60'000);
    const Json good = testing::calibration_dict(400);
    Json many_keys = Json::object();
    auto& members = many_keys.get_ref<Json::object_t&>();
    for (int i = 0; i < 100'000; ++i) members.emplace_back("k" + std::to_string(i), i);
    const Case cases[] = {
        {"deep camera_state event",
         [&](RecordingSpec& s) {
             s.camera_state = {{0, deep}};
         },
         "subtitle camera_state: bad packet at pts=", "nested deeper than 64 levels", true},
        {"deep calibration event",
         [&](RecordingSpec& s) {
             s.calibration = {{100, deep}};
         },
         "subtitle calibration: bad packet at pts=", "nested deeper than 64 levels", true},
        {"deep base_calibration",
         [&](RecordingSpec& s) { s.camera_info = R"({"base_calibration": {"a": )" + deep + "}}"; },
         "attachment camera_info.json parse failed (non-fatal)", "nested deeper than 64 levels",
         false},
        {"event over the size limit",
         [&](RecordingSpec& s) {
             s.camera_state = {{0, Json({{"x", std::string(1'500'000, 'a')}}).dump()}};
         },
         "subtitle camera_state: bad packet at pts=", "exceed the limit", true},
        {"attachment over the size limit",
         [&](RecordingSpec& s) {
             Json big = Json::parse(*s.camera_info);
             big["padding"] = std::string(5'000'000, 'a');
             s.camera_info = big.dump();
         },
         "attachment camera_info.json of", "(skipped)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("mkv_hostile");
        RecordingSpec spec;
        spec.frames = 5;
        spec.camera_info = camera_info_with(good);
        c.build(spec);
        const auto path = testing::make_recording(dir.path(), "hostile.mkv", spec);
        testing::LogCapture cap(CHANNEL);
        MkvReplay replay(path, {.replay_mode = "every_frame"});
        replay.open();
        EXPECT_EQ(every_frame(replay).size(), 5u);
        EXPECT_TRUE(cap.contains(c.message, spdlog::level::warn)) << cap.text();
        EXPECT_NE(cap.text().find(c.reason), std::string::npos) << cap.text();
        EXPECT_EQ(replay.base_calibration() != nullptr, c.base_calibration);
    }
    // Many keys parse in linear time and keep their order; the last of a repeated key wins.
    TempDir dir("mkv_hostile");
    RecordingSpec spec;
    spec.frames = 2;
    Json info = many_keys;
    info["base_calibration"] = good;
    spec.camera_info = info.dump();
    spec.camera_info->insert(spec.camera_info->size() - 1, R"(,"k7":"again")");
    MkvReplay replay(testing::make_recording(dir.path(), "keys.mkv", spec),
                     {.replay_mode = "every_frame"});
    const auto embedded = replay.embedded_camera_info();
    ASSERT_TRUE(embedded);
    EXPECT_EQ(embedded->size(), 100'001u);
    EXPECT_EQ(embedded->begin().key(), "k0");
    EXPECT_EQ((*embedded)["k7"], "again");
    EXPECT_EQ((*embedded)["k99999"], 99'999);
    ASSERT_TRUE(replay.base_calibration());
}

TEST(MkvHostileJson, AnAbsurdCalibrationEventIsRefusedAndTheBaseStays) {
    TempDir dir("mkv_hostile");
    RecordingSpec spec;
    spec.frames = 6;
    spec.rate = "10";
    spec.camera_info = camera_info_with(testing::calibration_dict(400));
    Json absurd = testing::calibration_dict(600);
    absurd["image_size"] = Json::array({2147483648.0, 360});
    spec.calibration = {{200, absurd.dump()}};
    const auto path = testing::make_recording(dir.path(), "absurd.mkv", spec);
    testing::LogCapture cap(CHANNEL);
    MkvReplay replay(path, {.replay_mode = "every_frame"});
    replay.open();
    for (const auto& frame : every_frame(replay)) {
        EXPECT_DOUBLE_EQ(replay.active_calibration()->left().camera_matrix(0, 0), 400)
            << frame->pts_us;
    }
    EXPECT_EQ(cap.count("_advance_calibration_to: from_dict failed"), 1u);  // not once a frame
    EXPECT_NE(cap.text().find("image_size must not exceed"), std::string::npos);
}

TEST(MkvHostileTimes, FramesComeInFileOrderOnceAndStepsStayExactWhateverTheirTimes) {
    struct Case {
        const char* name;
        std::vector<testing::PacketSpec> frames;
        std::vector<std::int64_t> pts_ms;  ///< the frames as the demuxer reads them
    };
    const Case cases[] = {
        {"out of order",
         {{500, 0, {}}, {1, 1, {}}, {300, 2, {}}, {3, 3, {}}, {400, 4, {}}, {5, 5, {}}},
         {500, 1, 300, 3, 400, 5}},
        {"repeated",
         {{10, 0, {}}, {10, 1, {}}, {10, 2, {}}, {40, 3, {}}, {40, 4, {}}, {90, 5, {}}},
         {10, 10, 10, 40, 40, 90}},
        // libavformat reads blocks before their cluster's time as untimed: they
        // are no frames, and must not end the pass before the frames after them.
        {"negative",
         {{-100, -100, {}}, {-50, -50, {}}, {0, 0, {}}, {50, 50, {}}, {100, 100, {}}},
         {0, 50, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("mkv_hostile");
        const auto path = testing::write_packets_recording(dir / "times.mkv", c.frames);
        MkvReplay replay(path, {.replay_mode = "every_frame", .loop = true});
        replay.open();
        const auto index = replay.frame_index();
        ASSERT_EQ(index.size(), c.pts_ms.size());
        // Two passes (the loop rewinds to the file's first frame, not to time 0).
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t i = 0; i < index.size(); ++i) {
                FramePtr f = replay.grab();
                ASSERT_TRUE(f) << pass << "/" << i;
                EXPECT_EQ(f->source_frame_idx, static_cast<std::int64_t>(i));
                EXPECT_EQ(f->pts_us, c.pts_ms[i] * 1000);
                EXPECT_EQ(f->pts_us, index[i]);
            }
        }
        // Exact steps both ways from the last frame, through every position.
        replay.pause();
        replay._seek_to_frame_idx(static_cast<std::int64_t>(index.size()) - 1);
        ASSERT_EQ(replay.grab()->source_frame_idx, static_cast<std::int64_t>(index.size()) - 1);
        for (std::int64_t i = static_cast<std::int64_t>(index.size()) - 2; i >= 0; --i) {
            replay.step_one_backward();
            FramePtr f = replay.grab();
            ASSERT_TRUE(f) << i;
            EXPECT_EQ(f->source_frame_idx, i);
            EXPECT_EQ(f->pts_us, index[static_cast<std::size_t>(i)]);
        }
        for (std::size_t i = 1; i < index.size(); ++i) {
            replay.step_one_forward();
            FramePtr f = replay.grab();
            ASSERT_TRUE(f) << i;
            EXPECT_EQ(f->source_frame_idx, static_cast<std::int64_t>(i));
        }
    }
}

TEST(MkvHostileTimes, EventsStoredOutOfTimeOrderAreAppliedByTime) {
    TempDir dir("mkv_hostile");
    std::vector<testing::PacketSpec> frames;
    for (int i = 0; i < 6; ++i) frames.push_back({i * 100, std::nullopt, {}});
    const testing::EventTrackSpec state{
        "camera_state", {{300, 0, R"({"exposure": 3})"}, {100, 1, R"({"exposure": 1})"}}};
    const auto path = testing::write_packets_recording(dir / "events.mkv", frames, {state});
    testing::LogCapture cap(CHANNEL);
    MkvReplay replay(path, {.replay_mode = "every_frame"});
    replay.open();
    EXPECT_NE(cap.text().find("camera_state events are stored out of time order"),
              std::string::npos);
    const auto history = replay.camera_state_history();
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].first, 100'000);
    EXPECT_EQ(history[1].first, 300'000);
}

TEST(MkvHostileMemory, DeepAndHugeRecordingsStayWithinACappedAddressSpace) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer runtimes reserve more address space than the cap";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "sanitizer runtimes reserve more address space than the cap";
#endif
#endif
    TempDir dir("mkv_hostile");
    RecordingSpec spec;
    spec.frames = 3;
    spec.camera_state = {{0, nested(60'000)},
                         {10, Json({{"x", std::string(60'000'000, 'a')}}).dump()}};
    spec.camera_info = R"({"base_calibration": )" + nested(60'000) + "}";
    const auto path = testing::make_recording(dir.path(), "bomb.mkv", spec);
    // In a child whose address space is capped at 1.5 GiB: a parse that grew
    // the 60 MB event into a document would not fit, a recursion over the
    // deep ones would overflow the stack.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit cap{1536u << 20, 1536u << 20};
        setrlimit(RLIMIT_AS, &cap);
        try {
            MkvReplay replay(path, {.replay_mode = "every_frame"});
            replay.open();
            std::size_t frames = 0;
            while (replay.grab()) ++frames;
            _exit(frames == 3 && replay.camera_state_history().empty() ? 0 : 3);
        } catch (...) {
            _exit(4);
        }
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MkvHostileCommand, InfoAndReplayReadWhatCanBeReadAndExitZero) {
    TempDir dir("mkv_hostile");
    RecordingSpec spec;
    spec.frames = 4;
    spec.camera_state = {{0, nested(60'000)}, {10, R"({"exposure": 5})"}};
    spec.calibration = {{20, nested(60'000)}};
    spec.camera_info = R"({"base_calibration": )" + nested(60'000) + "}";
    const auto path = testing::make_recording(dir.path(), "hostile.mkv", spec);
    for (const std::string command : {"info", "replay --mode every_frame"}) {
        SCOPED_TRACE(command);
        std::string out;
        const int status = testing::run_command(
            std::string(KELVO_CLI) + " " + command + " --json " + path.string() + " 2>&1", &out);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find("(skipped)"), std::string::npos) << out;
    }
    EXPECT_NE(testing::run_command(std::string(KELVO_CLI) + " info " + (dir / "none.mkv").string() +
                                   " >/dev/null 2>&1"),
              0);
}

TEST(MkvHostileCalls, NullCallbacksAreRefused) {
    TempDir dir("mkv_hostile");
    RecordingSpec spec;
    spec.frames = 2;
    MkvReplay replay(testing::make_recording(dir.path(), "calls.mkv", spec));
    EXPECT_THROW(replay.add_fanout(nullptr), std::invalid_argument);
    EXPECT_THROW(replay.add_fanout(make_frame_callback(nullptr)), std::invalid_argument);
}

TEST(FrameDecoding, FramesThatAreNotTheStreamsImageAreRefusedBeforeDecoding) {
    TempDir dir("frame_decode");
    const auto jpeg = testing::test_jpeg(dir.path(), 64, 32);
    const auto big = testing::test_jpeg(dir.path(), 1024, 512);
    testing::run_ok("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x32 -frames:v 1 " +
                    (dir / "p.png").string());
    std::ifstream in(dir / "p.png", std::ios::binary);
    const std::vector<std::uint8_t> png((std::istreambuf_iterator<char>(in)),
                                        std::istreambuf_iterator<char>());
    struct Case {
        const char* name;
        std::vector<std::uint8_t> payload;
        int width, height;
        const char* error;  ///< null: decodes
    };
    const Case cases[] = {
        {"the stream's JPEG", jpeg, 64, 32, nullptr},
        {"the stream's PNG", png, 64, 32, nullptr},
        {"size unknown", jpeg, 0, 0, nullptr},
        {"JPEG cut to 700 bytes", std::vector<std::uint8_t>(jpeg.begin(), jpeg.begin() + 700), 64,
         32, "cut off"},
        {"PNG cut short", std::vector<std::uint8_t>(png.begin(), png.end() - 20), 64, 32,
         "cut off"},
        {"larger than the stream", big, 64, 32, "a 1024x512 JPEG image in a 64x32 stream"},
        {"text", {'h', 'e', 'l', 'l', 'o'}, 64, 32, "not a JPEG or PNG image"},
        {"header only", std::vector<std::uint8_t>(jpeg.begin(), jpeg.begin() + 4), 64, 32,
         "not a JPEG or PNG image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.error) {
            const cv::Mat image = decode_to_bgr("MJPG", c.payload, c.width, c.height);
            EXPECT_EQ(image.cols, 64);
            EXPECT_EQ(image.rows, 32);
            continue;
        }
        try {
            decode_to_bgr("MJPG", c.payload, c.width, c.height);
            ADD_FAILURE() << "decoded";
        } catch (const RuntimeError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace kelvo
