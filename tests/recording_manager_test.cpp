// RecordingManager: the recorder's arguments and their order, both frame
// paths, pause, every row of the failure table, and real recordings made
// through a test source.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "recorder_support.hpp"
#include "support/log_capture.hpp"
#include "support/test_paths.hpp"

namespace kelvo {
namespace {

using testing::LogCapture;
using testing::make_frame;
using testing::make_jpeg;
using testing::read_recording;
using testing::TempDir;

const char* const CHANNEL = "kelvo_camera_sdk.recording_manager";

/// A frame source double: the camera hardware is the only thing faked. It
/// logs the attribute reads the controller makes and fans frames out on demand.
class TestSource : public FrameSource {
  public:
    TestSource(bool live, std::vector<std::string>* calls = nullptr) : _live(live), _calls(calls) {}
    ~TestSource() override = default;

    CameraInfo open() override { return {}; }
    FramePtr grab(double) override { return nullptr; }
    void close() override {}
    std::vector<CameraControl> list_camera_controls() override { return {}; }
    bool is_live() const override { return _live; }
    bool has_pump() const override { return _live || pump; }
    bool is_seekable() const override { return false; }
    CalibrationPtr base_calibration() const override { return nullptr; }
    CalibrationPtr active_calibration() const override { return nullptr; }

    std::string fourcc() const override {
        note("fourcc");
        return fourcc_value;
    }
    std::optional<std::string> mode_slug() const override {
        note("mode_slug");
        if (fail_mode_slug) throw RuntimeError("mode_slug unreadable");
        return slug;
    }
    std::optional<std::int64_t> t0_monotonic_ns() const override { return t0.load(); }

    void add_fanout(FrameCallbackPtr cb) override {
        if (fail_add_fanout) throw RuntimeError("add_fanout failed");
        FrameSource::add_fanout(std::move(cb));
    }

    /// Hands a frame to every fan-out callback, as a pump thread does.
    void emit(const FramePtr& frame) {
        _dispatch_fanout(frame, *get_logger("kelvo_camera_sdk.test_source"));
    }
    std::size_t fanout_count() { return _fanout->size(); }

    std::string fourcc_value = "mjpg";
    std::optional<std::string> slug = std::string("64x32@30-MJPG");
    std::atomic<std::int64_t> t0{5'000};
    bool fail_add_fanout = false;
    bool fail_mode_slug = false;
    bool pump = false;  ///< a replay in "realtime" mode: not live, but pumped

  private:
    void note(const std::string& what) const {
        if (_calls) _calls->push_back(what);
    }
    bool _live;
    std::vector<std::string>* _calls;
};

/// What a scripted recorder does and saw.
struct Script {
    bool fail_start = false;
    bool fail_stop = false;
    bool fail_feed = false;
    bool fail_calibration = false;
    std::atomic<bool> running{false};
    std::atomic<bool> paused{false};
    std::atomic<int> feeds{0};
    std::atomic<int> calibrations{0};
    std::vector<MkvRecorderOptions> built;
};

/// A recorder that fails on demand; the controller sees it through MkvRecorder.
class ScriptedRecorder : public MkvRecorder {
  public:
    ScriptedRecorder(const MkvRecorderOptions& options, std::shared_ptr<Script> script)
        : MkvRecorder(options), _script(std::move(script)) {}
    void start() override {
        if (_script->fail_start) throw RuntimeError("recorder start failed");
        _script->running = true;
    }
    RecordingResult stop() override {
        if (_script->fail_stop) throw RuntimeError("recorder stop failed");
        _script->running = false;
        return RecordingResult{.path = "scripted", .frames_written = _script->feeds.load()};
    }
    void pause() override { _script->paused = true; }
    void resume() override { _script->paused = false; }
    RecordingStatus status() const override {
        return RecordingStatus{.is_running = _script->running.load(),
                               .frames_written = _script->feeds.load()};
    }
    bool is_running() const override { return _script->running; }
    bool is_paused() const override { return _script->paused; }
    void feed(const FramePtr&) override {
        ++_script->feeds;
        if (_script->fail_feed) throw RuntimeError("feed failed");
    }
    void write_calibration_update(const Json&, std::int64_t) override {
        ++_script->calibrations;
        if (_script->fail_calibration) throw RuntimeError("calibration write failed");
    }

  private:
    std::shared_ptr<Script> _script;
};

CameraInfo camera_info() {
    CameraInfo info;
    info.os_id = "/dev/video4";
    info.camera_name = "Corvan";
    info.camera_serial = "SN42";
    info.width = 64;
    info.height = 32;
    info.fps = 30.0;
    info.is_live = true;
    info.clock_domain = "linux_monotonic";
    info.sku = "KV-CORVAN-1";
    return info;
}

const Json PAYLOAD = {{"sku", "KV-CORVAN-1"}, {"serial", "SN42"}};

/// A controller over a test source with a scripted recorder.
struct Fixture {
    explicit Fixture(bool live = true) : source(std::make_shared<TestSource>(live, &calls)) {
        manager = std::make_unique<RecordingManager>(RecordingManagerOptions{
            .source = source,
            .info_provider = [this]() -> std::optional<CameraInfo> {
                calls.push_back("info");
                if (!has_info) return std::nullopt;
                return camera_info();
            },
            .camera_controls_provider =
                [this] {
                    calls.push_back("controls");
                    return controls;
                },
            .recorder_factory = [this](MkvRecorderOptions options) -> std::shared_ptr<MkvRecorder> {
                calls.push_back("factory");
                if (fail_construction) throw std::invalid_argument("cannot build recorder");
                script->built.push_back(options);
                return std::make_shared<ScriptedRecorder>(options, script);
            },
        });
    }
    void start(const char* path = "/tmp/scripted.mkv") {
        manager->start(path, {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
    }

    std::vector<std::string> calls;
    std::shared_ptr<TestSource> source;
    std::shared_ptr<Script> script = std::make_shared<Script>();
    bool has_info = true;
    bool fail_construction = false;
    Json controls = Json{{"exposure", 7}};
    std::unique_ptr<RecordingManager> manager;
};

// ---------------------------------------------------------------------------
// start: the recorder's arguments

TEST(RecordingManagerStart, BuildsTheRecorderFromInfoSourceAndProviders) {
    Fixture f;
    f.source->slug = "1280x720@7.5-YUYV";
    f.source->fourcc_value = "yuyv";
    f.manager->start(std::filesystem::path("/tmp/x/rec.mkv"),
                     {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
    ASSERT_EQ(f.script->built.size(), 1u);
    const auto& o = f.script->built[0];
    EXPECT_EQ(o.path, "/tmp/x/rec.mkv");
    EXPECT_EQ(o.width, 64);
    EXPECT_EQ(o.height, 32);
    EXPECT_EQ(o.clock_domain, "linux_monotonic");
    EXPECT_EQ(o.camera_info_payload, PAYLOAD);
    EXPECT_EQ(o.camera_controls, (Json{{"exposure", 7}}));
    EXPECT_EQ(o.camera_name, "Corvan");
    EXPECT_EQ(o.camera_serial, "SN42");
    EXPECT_EQ(o.capture_mode_slug, "1280x720@7.5-YUYV");
    EXPECT_EQ(o.source_fourcc, "YUYV");
    // The provider is handed over, not called for it; the t0 thunk reads the source when called.
    ASSERT_TRUE(o.camera_controls_provider);
    f.controls = Json{{"exposure", 9}};
    EXPECT_EQ(o.camera_controls_provider(), (Json{{"exposure", 9}}));
    ASSERT_TRUE(o.t0_monotonic_ns_provider);
    EXPECT_EQ(o.t0_monotonic_ns_provider(), std::optional<std::int64_t>(5'000));
    f.source->t0 = 77;
    EXPECT_EQ(o.t0_monotonic_ns_provider(), std::optional<std::int64_t>(77));
    EXPECT_TRUE(f.manager->is_running());
    EXPECT_EQ(f.source->fanout_count(), 1u);
}

TEST(RecordingManagerStart, ArgumentsAreEvaluatedInTheStatedOrder) {
    Fixture f;
    f.start();
    EXPECT_EQ(f.calls,
              (std::vector<std::string>{"info", "controls", "mode_slug", "fourcc", "factory"}));
}

TEST(RecordingManagerStart, CameraControlsFallBackToTheProviderOnlyWhenAbsentOrEmpty) {
    struct Case {
        const char* name;
        std::optional<Json> given;
        Json expected;
        bool provider_called;
    };
    const std::vector<Case> cases = {
        {"absent", std::nullopt, Json{{"exposure", 7}}, true},
        {"empty", Json::object(), Json{{"exposure", 7}}, true},
        {"null", Json(nullptr), Json{{"exposure", 7}}, true},
        {"given", Json{{"gain", 3}}, Json{{"gain", 3}}, false},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.manager->start("/tmp/a.mkv",
                         {.camera_controls = c.given, .camera_info_payload = PAYLOAD});
        ASSERT_EQ(f.script->built.size(), 1u) << c.name;
        EXPECT_EQ(f.script->built[0].camera_controls, c.expected) << c.name;
        const bool called = std::find(f.calls.begin(), f.calls.end(), "controls") != f.calls.end();
        EXPECT_EQ(called, c.provider_called) << c.name;
    }
}

TEST(RecordingManagerStart, ModeSlugAndFourccAreNormalised) {
    struct Case {
        std::optional<std::string> slug;
        std::string fourcc;
        std::string expected_slug;
        std::string expected_fourcc;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "mjpg", "", "MJPG"},
        {std::string(), "Mjpg", "", "MJPG"},
        {std::string("64x32@30-MJPG"), "MJPG", "64x32@30-MJPG", "MJPG"},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.source->slug = c.slug;
        f.source->fourcc_value = c.fourcc;
        f.start();
        ASSERT_EQ(f.script->built.size(), 1u);
        EXPECT_EQ(f.script->built[0].capture_mode_slug, c.expected_slug);
        EXPECT_EQ(f.script->built[0].source_fourcc, c.expected_fourcc);
    }
}

// ---------------------------------------------------------------------------
// Frame paths and pause

TEST(RecordingManagerPaths, ALiveSourceIsFedByItsPumpOnly) {
    Fixture f(/*live=*/true);
    f.start();
    for (int i = 0; i < 3; ++i) f.source->emit(make_frame({1}, i, i + 1));
    EXPECT_EQ(f.script->feeds, 3);
    f.manager->feed_worker_rate(make_frame({1}, 9, 9));
    EXPECT_EQ(f.script->feeds, 3);
}

TEST(RecordingManagerPaths, ASourceThatIsNotLiveIsFedByTheWorkerToo) {
    Fixture f(/*live=*/false);
    f.start();
    f.manager->feed_worker_rate(make_frame({1}, 0, 1));
    f.source->emit(make_frame({1}, 1, 2));  // a realtime replay's pump
    EXPECT_EQ(f.script->feeds, 2);
}

TEST(RecordingManagerPaths, APumpedSourceThatIsNotLiveIsFedByItsPumpOnly) {
    Fixture f(/*live=*/false);
    f.source->pump = true;
    f.start();
    for (int i = 0; i < 3; ++i) {
        const auto frame = make_frame({1}, i, i + 1);
        f.source->emit(frame);
        f.manager->feed_worker_rate(frame);  // the pipeline grabs the same frame
    }
    EXPECT_EQ(f.script->feeds, 3);
}

TEST(RecordingManagerPaths, WhilePausedNeitherPathFeeds) {
    Fixture f(/*live=*/false);
    f.start();
    f.manager->pause();
    EXPECT_TRUE(f.manager->is_paused());
    EXPECT_TRUE(f.manager->is_running());
    f.manager->feed_worker_rate(make_frame({1}, 0, 1));
    f.source->emit(make_frame({1}, 1, 2));
    f.manager->_on_pump_frame(make_frame({1}, 2, 3));
    EXPECT_EQ(f.script->feeds, 0);
    f.manager->resume();
    EXPECT_FALSE(f.manager->is_paused());
    f.manager->feed_worker_rate(make_frame({1}, 3, 4));
    f.source->emit(make_frame({1}, 4, 5));
    EXPECT_EQ(f.script->feeds, 2);
}

TEST(RecordingManagerPaths, IdleControllerDoesNothing) {
    Fixture f;
    EXPECT_FALSE(f.manager->is_running());
    EXPECT_FALSE(f.manager->is_paused());
    EXPECT_FALSE(f.manager->status().has_value());
    f.manager->pause();
    f.manager->resume();
    f.manager->feed_worker_rate(make_frame({1}, 0, 1));
    f.manager->_on_pump_frame(make_frame({1}, 0, 1));
    EXPECT_NO_THROW(f.manager->write_calibration_update(Json{{"a", 1}}, 0));
    EXPECT_FALSE(f.manager->is_paused());
    EXPECT_TRUE(f.script->built.empty());
}

TEST(RecordingManagerPaths, CalibrationUpdatesAreForwardedWhileRecording) {
    Fixture f;
    f.start();
    f.manager->write_calibration_update(Json{{"a", 1}}, 10);
    EXPECT_EQ(f.script->calibrations, 1);
    f.manager->stop();
    f.manager->write_calibration_update(Json{{"a", 2}}, 20);
    EXPECT_EQ(f.script->calibrations, 1);
}

// ---------------------------------------------------------------------------
// The failure table

TEST(RecordingManagerFailures, ANullSourceIsRefusedWhenTheControllerIsBuilt) {
    try {
        RecordingManager manager({.source = nullptr});
        FAIL() << "built without a source";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "RecordingManager needs a source, got none");
    }
}

TEST(RecordingManagerFailures, StartWhileRecordingChangesNothing) {
    Fixture f;
    f.start();
    try {
        f.start("/tmp/other.mkv");
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "recording already in progress");
    }
    EXPECT_EQ(f.script->built.size(), 1u);
    EXPECT_EQ(f.source->fanout_count(), 1u);
    EXPECT_TRUE(f.manager->is_running());
}

TEST(RecordingManagerFailures, StartWithoutCameraInformationChangesNothing) {
    Fixture f;
    f.has_info = false;
    try {
        f.start();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "pipeline.start() must be called first");
    }
    EXPECT_TRUE(f.script->built.empty());
    EXPECT_EQ(f.source->fanout_count(), 0u);
    EXPECT_FALSE(f.manager->status().has_value());
}

TEST(RecordingManagerFailures, FailedConstructionOrStartPropagatesAndRegistersNothing) {
    {
        Fixture f;
        f.fail_construction = true;
        EXPECT_THROW(f.start(), std::invalid_argument);
        EXPECT_FALSE(f.manager->is_running());
        EXPECT_FALSE(f.manager->status().has_value());
        EXPECT_EQ(f.source->fanout_count(), 0u);
    }
    {
        Fixture f;
        f.script->fail_start = true;
        EXPECT_THROW(f.start(), RuntimeError);
        EXPECT_FALSE(f.manager->status().has_value());
        EXPECT_EQ(f.source->fanout_count(), 0u);
    }
    {
        Fixture f;  // reading the source's attributes fails
        f.source->fail_mode_slug = true;
        EXPECT_THROW(f.start(), RuntimeError);
        EXPECT_TRUE(f.script->built.empty());
        EXPECT_FALSE(f.manager->status().has_value());
        EXPECT_EQ(f.source->fanout_count(), 0u);
    }
    {
        // A real recorder on a path that cannot be created.
        TempDir dir("recording_manager");
        auto source = std::make_shared<TestSource>(true);
        RecordingManager manager({.source = source,
                                  .info_provider = [] { return std::optional(camera_info()); },
                                  .camera_controls_provider = [] { return Json::object(); },
                                  .recorder_factory = {}});
        EXPECT_THROW(
            manager.start(dir / "no" / "such" / "dir.mkv",
                          {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD}),
            RuntimeError);
        EXPECT_FALSE(manager.is_running());
        EXPECT_EQ(source->fanout_count(), 0u);
    }
}

TEST(RecordingManagerFailures, AddFanoutFailureLeavesTheRecorderHeldAndRunning) {
    Fixture f;
    f.source->fail_add_fanout = true;
    EXPECT_THROW(f.start(), RuntimeError);
    EXPECT_TRUE(f.manager->is_running());
    ASSERT_TRUE(f.manager->status().has_value());
    f.source->fail_add_fanout = false;
    EXPECT_NO_THROW(f.manager->stop());
    EXPECT_FALSE(f.manager->is_running());
}

TEST(RecordingManagerFailures, StopWhileNotRunning) {
    Fixture f;
    try {
        f.manager->stop();
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "not recording");
    }
}

TEST(RecordingManagerFailures, RecorderStopFailurePropagatesAfterUnregistering) {
    Fixture f;
    f.start();
    f.script->fail_stop = true;
    EXPECT_THROW(f.manager->stop(), RuntimeError);
    EXPECT_EQ(f.source->fanout_count(), 0u);
    EXPECT_TRUE(f.manager->status().has_value());  // still held
    EXPECT_TRUE(f.manager->is_running());
    f.script->fail_stop = false;
}

TEST(RecordingManagerFailures, FeedErrorsAreLoggedEachTimeAndSwallowed) {
    LogCapture cap(CHANNEL);
    LogCapture source_cap("kelvo_camera_sdk.test_source");
    Fixture f(/*live=*/false);
    f.start();
    f.script->fail_feed = true;
    for (int i = 0; i < 3; ++i) {
        EXPECT_NO_THROW(f.source->emit(make_frame({1}, i, 2 * i + 1)));
        EXPECT_NO_THROW(f.manager->feed_worker_rate(make_frame({1}, i, 2 * i + 2)));
    }
    EXPECT_EQ(f.script->feeds, 6);
    EXPECT_EQ(cap.count("recorder feed raised (non-fatal)", spdlog::level::err), 3u);
    EXPECT_EQ(cap.count("recorder feed failed (non-fatal)", spdlog::level::err), 3u);
    EXPECT_EQ(source_cap.count("fanout callback raised"), 0u);  // the controller swallowed it
    EXPECT_TRUE(f.manager->is_running());
    f.script->fail_feed = false;
}

TEST(RecordingManagerFailures, CalibrationWriteErrorsAreLoggedAndSwallowed) {
    LogCapture cap(CHANNEL);
    Fixture f;
    f.start();
    f.script->fail_calibration = true;
    EXPECT_NO_THROW(f.manager->write_calibration_update(Json{{"a", 1}}, 0));
    EXPECT_NO_THROW(f.manager->write_calibration_update(Json{{"a", 2}}, 1));
    EXPECT_EQ(cap.count("calibration history write failed (non-fatal)", spdlog::level::err), 2u);
    EXPECT_TRUE(f.manager->is_running());
}

TEST(RecordingManagerFailures, ARecorderThatStopsByItself) {
    Fixture f;
    f.start();
    f.script->running = false;  // e.g. the disk filled up
    EXPECT_FALSE(f.manager->is_running());
    EXPECT_TRUE(f.manager->status().has_value());
    f.source->emit(make_frame({1}, 0, 1));
    f.manager->write_calibration_update(Json{{"a", 1}}, 0);
    EXPECT_EQ(f.script->feeds, 0);
    EXPECT_EQ(f.script->calibrations, 0);
    EXPECT_THROW(f.manager->stop(), RuntimeError);
    // A new start goes ahead, with one registration, not two.
    f.start("/tmp/second.mkv");
    EXPECT_EQ(f.script->built.size(), 2u);
    EXPECT_EQ(f.source->fanout_count(), 1u);
    f.source->emit(make_frame({1}, 1, 2));
    EXPECT_EQ(f.script->feeds, 1);
}

// ---------------------------------------------------------------------------
// Real recordings

RecordingManagerOptions real_options(const std::shared_ptr<TestSource>& source,
                                     std::function<Json()> controls = nullptr) {
    return RecordingManagerOptions{
        .source = source,
        .info_provider = [] { return std::optional(camera_info()); },
        .camera_controls_provider =
            controls ? std::move(controls) : [] { return Json{{"exposure", 11}}; },
        .recorder_factory = {},
    };
}

TEST(RecordingManagerRecording, TwoCyclesFromALivePumpWriteTwoFiles) {
    TempDir dir("recording_manager");
    auto source = std::make_shared<TestSource>(/*live=*/true);
    RecordingManager manager(real_options(source));
    std::int64_t sequence = 0;
    for (int cycle = 0; cycle < 2; ++cycle) {
        const auto path = dir / ("cycle" + std::to_string(cycle) + ".mkv");
        manager.start(path, {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
        EXPECT_TRUE(manager.is_running());
        std::thread pump([&] {
            for (int i = 0; i < 10; ++i) {
                ++sequence;
                source->emit(make_frame(make_jpeg(i + 100 * cycle), sequence * 33'333, sequence));
            }
        });
        pump.join();
        const auto result = manager.stop();
        EXPECT_FALSE(manager.is_running());
        EXPECT_FALSE(manager.status().has_value());
        EXPECT_EQ(source->fanout_count(), 0u);
        EXPECT_EQ(result.frames_written, 10);
        const auto back = read_recording(path);
        ASSERT_TRUE(back.opened) << back.open_error;
        ASSERT_EQ(back.video.size(), 10u);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(back.video[i].pts_us, i * 33'333);
            EXPECT_EQ(back.video[i].data, make_jpeg(i + 100 * cycle));
        }
        EXPECT_EQ(back.tags.at("CAMERA_SERIAL"), "SN42");
        EXPECT_EQ(back.tags.at("CAPTURE_MODE"), "64x32@30-MJPG");
        const auto first_pts_ns = (cycle * 10 + 1) * 33'333'000LL;
        EXPECT_EQ(back.tags.at("RECORD_T0_HOST_MONOTONIC_NS"),
                  std::to_string(5'000 + first_pts_ns));
        EXPECT_EQ(back.attachments.at("camera_info.json"), PAYLOAD.dump());
        ASSERT_FALSE(back.events.at("camera_state").empty());
        EXPECT_EQ(back.events.at("camera_state")[0].second, R"({"exposure":11})");
    }
}

TEST(RecordingManagerRecording, AFullDiskIsReportedWithItsReasonAndTheNextRecordingWorks) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TempDir dir("recording_manager");
    auto source = std::make_shared<TestSource>(/*live=*/true);
    RecordingManager manager(real_options(source));
    manager.start("/dev/full", {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
    source->emit(make_frame(make_jpeg(0), 33'333, 1));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (manager.is_running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto failed = manager.status();
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->state, "failed");
    ASSERT_TRUE(failed->reason);
    EXPECT_FALSE(failed->reason->empty());

    const auto path = dir / "after.mkv";
    manager.start(path, {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
    EXPECT_EQ(manager.status()->state, "recording");
    EXPECT_EQ(source->fanout_count(), 1u);
    for (int i = 1; i <= 5; ++i) source->emit(make_frame(make_jpeg(i), (i + 1) * 33'333, i + 1));
    EXPECT_EQ(manager.stop().frames_written, 5);
    EXPECT_EQ(read_recording(path).video.size(), 5u);
}

TEST(RecordingManagerRecording, ARealtimeReplayIsRecordedFromItsPumpOnly) {
    TempDir dir("recording_manager");
    const auto path = dir / "pump_path.mkv";
    auto source = std::make_shared<TestSource>(/*live=*/false);
    source->pump = true;
    RecordingManager manager(real_options(source));
    manager.start(path, {.camera_controls = Json{{"gain", 1}}, .camera_info_payload = PAYLOAD});
    for (int i = 0; i < 12; ++i) {
        auto frame = make_frame(make_jpeg(i), i * 40'000, i + 1);
        source->emit(frame);                              // the replay's pump
        if (i % 2 == 0) manager.feed_worker_rate(frame);  // the worker grabs some of them
        if (i == 6) manager.write_calibration_update(Json{{"epoch", 1}}, i * 40'000);
    }
    manager.pause();
    source->emit(make_frame(make_jpeg(50), 12 * 40'000, 13));
    manager.resume();
    manager.feed_worker_rate(make_frame(make_jpeg(51), 13 * 40'000, 14));
    source->emit(make_frame(make_jpeg(52), 14 * 40'000, 15));
    const auto result = manager.stop();
    EXPECT_EQ(result.frames_written, 13);
    const auto back = read_recording(path);
    ASSERT_EQ(back.video.size(), 13u);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(back.video[i].data, make_jpeg(i));
    EXPECT_EQ(back.video[12].data, make_jpeg(52));
    EXPECT_EQ(back.video[12].pts_us, 14 * 40'000);
    ASSERT_EQ(back.events.at("calibration").size(), 1u);
    EXPECT_EQ(back.events.at("calibration")[0].first, 6 * 40'000);
    EXPECT_EQ(back.events.at("camera_state")[0].second, R"({"gain":1})");
}

TEST(RecordingManagerRecording, DestroyingTheControllerFinishesTheRecording) {
    TempDir dir("recording_manager");
    const auto path = dir / "dtor.mkv";
    auto source = std::make_shared<TestSource>(/*live=*/true);
    {
        RecordingManager manager(real_options(source));
        manager.start(path, {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
        for (int i = 0; i < 4; ++i) source->emit(make_frame(make_jpeg(i), i * 1'000, i + 1));
    }
    EXPECT_EQ(source->fanout_count(), 0u);
    source->emit(make_frame(make_jpeg(9), 9'000, 9));  // nobody listens any more
    const auto back = read_recording(path);
    ASSERT_TRUE(back.opened);
    EXPECT_EQ(back.video.size(), 4u);
    EXPECT_EQ(back.index_entries_at_open, 4);
}

TEST(RecordingManagerRecording, PumpWorkerAndControlThreadsTogether) {
    TempDir dir("recording_manager");
    auto source = std::make_shared<TestSource>(/*live=*/false);
    RecordingManager manager(real_options(source));
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> sequence{0};
    std::thread pump([&] {
        while (!done) {
            const auto s = ++sequence;
            source->emit(make_frame({0xFF, 0xD8, 0xFF, 0xD9}, s * 1'000, s));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::thread worker([&] {
        while (!done) {
            const auto s = sequence.load();
            manager.feed_worker_rate(make_frame({0xFF, 0xD8, 0xFF, 0xD9}, s * 1'000, s));
            manager.write_calibration_update(Json{{"s", s}}, s * 1'000);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    for (int cycle = 0; cycle < 3; ++cycle) {
        const auto path = dir / ("threads" + std::to_string(cycle) + ".mkv");
        manager.start(path, {.camera_controls = std::nullopt, .camera_info_payload = PAYLOAD});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        manager.pause();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        manager.resume();
        (void)manager.status();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto result = manager.stop();
        EXPECT_GT(result.frames_written, 0);
        const auto back = read_recording(path);
        ASSERT_TRUE(back.opened);
        EXPECT_EQ(static_cast<std::int64_t>(back.video.size()), result.frames_written);
        for (std::size_t i = 1; i < back.video.size(); ++i)
            EXPECT_LT(back.video[i - 1].pts_us, back.video[i].pts_us);
    }
    done = true;
    pump.join();
    worker.join();
}

}  // namespace
}  // namespace kelvo
