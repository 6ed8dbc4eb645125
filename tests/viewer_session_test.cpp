// The viewer's session around its recordings: a recorder that fails on its
// own leaves the viewer usable, host hooks may call back into the session,
// and the figures keep coming while a recording starts or finishes. The
// recorders are scripted stand-ins; the source is the demo recording.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "kelvo/errors.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_session.hpp"
#include "viewer_http.hpp"

namespace kelvo {
namespace {

using namespace std::chrono_literals;

/// Generous: only a deadlock comes near it.
constexpr auto BOUND = 10s;

/// Holds a thread at a point until the test lets it go (or the bound passes).
class Gate {
  public:
    void pass_when_released() {
        std::unique_lock lock(_mutex);
        _entered = true;
        _cv.notify_all();
        _cv.wait_for(lock, BOUND, [&] { return _released; });
    }
    bool wait_entered() {
        std::unique_lock lock(_mutex);
        return _cv.wait_for(lock, BOUND, [&] { return _entered; });
    }
    void release() {
        std::lock_guard lock(_mutex);
        _released = true;
        _cv.notify_all();
    }

  private:
    std::mutex _mutex;
    std::condition_variable _cv;
    bool _entered = false;
    bool _released = false;
};

/// What the scripted recorders of one test share.
struct Script {
    std::atomic<int> built{0};
    std::atomic<bool> running{false};
    std::atomic<int> fed{0};
    bool hold_stop = false;  ///< stop() waits at `stop_gate`
    Gate stop_gate;
};

/// A recorder that can stop by itself (as on a write error) and whose stop
/// can be held; it writes nothing.
class ScriptedRecorder : public MkvRecorder {
  public:
    ScriptedRecorder(const MkvRecorderOptions& options, std::shared_ptr<Script> script)
        : MkvRecorder(options), _script(std::move(script)) {}
    void start() override { _script->running = true; }
    RecordingResult stop() override {
        if (_script->hold_stop) _script->stop_gate.pass_when_released();
        _script->running = false;
        return RecordingResult{.path = path(), .frames_written = _script->fed.load()};
    }
    void pause() override {}
    void resume() override {}
    RecordingStatus status() const override {
        return RecordingStatus{
            .is_running = _script->running.load(), .path = path(), .frames_written = _script->fed};
    }
    bool is_running() const override { return _script->running; }
    bool is_paused() const override { return false; }
    void feed(const FramePtr&) override { ++_script->fed; }

  private:
    std::shared_ptr<Script> _script;
};

class ViewerSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ViewerSessionOptions options{.source =
                                         std::make_shared<MkvReplay>(testing::demo_recording())};
        options.recorder_factory =
            [s = script](MkvRecorderOptions o) -> std::shared_ptr<MkvRecorder> {
            ++s->built;
            return std::make_shared<ScriptedRecorder>(o, s);
        };
        options.hooks.recording_path = [this] {
            if (on_path) on_path();
            return dir / "recording.mkv";
        };
        options.hooks.recording_finished = [this](const RecordingResult& r) {
            if (on_finished) on_finished();
            Json j = r.to_json();
            j["kept_by_host"] = true;
            return j;
        };
        session = std::make_shared<ViewerSession>(std::move(options));
        session->start();
    }
    void TearDown() override { session->stop(); }

    std::shared_ptr<Script> script = std::make_shared<Script>();
    testing::TempDir dir{"viewer_session"};
    std::function<void()> on_path, on_finished;
    std::shared_ptr<ViewerSession> session;
};

/// The text of the RuntimeError `call` raises; empty when it raises none.
std::string runtime_error_of(const std::function<void()>& call) {
    try {
        call();
    } catch (const RuntimeError& e) {
        return e.what();
    }
    return "";
}

TEST_F(ViewerSessionTest, RecorderThatFailsMidRecordingLeavesTheViewerUsable) {
    struct Case {
        const char* then;  ///< what the user does after the failure
        bool failure_reported_by_the_command;
    };
    const Case cases[] = {{"start", true}, {"stop", true}, {"switch back-end", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.then);
        const int built = script->built;
        ASSERT_EQ(session->record("start")["recording"]["is_running"], true);
        script->running = false;  // the writer hit an error and stopped

        const Json shown = session->state()["recording"];
        ASSERT_TRUE(shown.is_object());
        EXPECT_EQ(shown["state"], "failed");
        EXPECT_TRUE(shown["reason"].is_string() && !shown["reason"].get<std::string>().empty());

        Json reply;
        if (std::string(c.then) == "start") {
            reply = session->record("start");
            EXPECT_EQ(reply["recording"]["is_running"], true);
        } else if (std::string(c.then) == "stop") {
            reply = session->record("stop");
            EXPECT_TRUE(reply["recording"].is_null());
            EXPECT_TRUE(session->state()["recording"].is_null());
            EXPECT_EQ(session->record("start")["recording"]["is_running"], true);
        } else {
            session->select_backend("stereo-bm", "");
            EXPECT_EQ(session->state()["recording"]["state"], "failed");  // still shown
            EXPECT_EQ(session->record("start")["recording"]["is_running"], true);
        }
        if (c.failure_reported_by_the_command) {
            const Json last = reply["last_recording"];
            EXPECT_EQ(last["state"], "failed");
            EXPECT_EQ(last["reason"], shown["reason"]);
            EXPECT_EQ(last["kept_by_host"], true);  // the host kept what was written
        }
        EXPECT_EQ(script->built, built + 2);
        const Json finished = session->record("stop")["last_recording"];
        EXPECT_EQ(finished["kept_by_host"], true);
        EXPECT_FALSE(finished.contains("state") && finished["state"] == "failed");
    }
}

TEST_F(ViewerSessionTest, HostHooksMayCallBackIntoTheSession) {
    struct Case {
        const char* name;
        bool in_path_hook;  ///< else in recording_finished
        bool asks_for_a_command;
    };
    const Case cases[] = {{"recording_path reads the state", true, false},
                          {"recording_finished reads the state", false, false},
                          {"recording_finished asks to pause", false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Json seen;
        std::string refused;
        const auto hook = [&] {
            seen = session->state();
            if (c.asks_for_a_command) refused = runtime_error_of([&] { session->record("pause"); });
        };
        on_path = c.in_path_hook ? std::function<void()>(hook) : nullptr;
        on_finished = c.in_path_hook ? nullptr : std::function<void()>(hook);
        session->record("start");
        EXPECT_EQ(session->record("stop")["last_recording"]["kept_by_host"], true);
        EXPECT_EQ(seen["running"], true);
        // Another command meanwhile is refused with a reason, not left waiting.
        if (c.asks_for_a_command) {
            EXPECT_NE(refused, "");
        }
    }
}

TEST_F(ViewerSessionTest, FiguresKeepComingWhileARecordingFinishes) {
    script->hold_stop = true;
    session->record("start");
    auto stopping = std::async(std::launch::async, [&] { return session->record("stop"); });
    ASSERT_TRUE(script->stop_gate.wait_entered());
    auto figures = std::async(std::launch::async, [&] { return session->state(); });
    const auto answered = figures.wait_for(BOUND);
    // Commands that would meet the finishing recording are refused meanwhile.
    const std::string start_refused = runtime_error_of([&] { session->record("start"); });
    const std::string switch_refused =
        runtime_error_of([&] { session->select_backend("stereo-bm", ""); });
    script->stop_gate.release();
    ASSERT_EQ(answered, std::future_status::ready);
    EXPECT_EQ(figures.get()["recording"]["is_running"], true);  // held until it is finished
    EXPECT_NE(start_refused, "");
    EXPECT_NE(switch_refused, "");
    EXPECT_EQ(stopping.get()["last_recording"]["kept_by_host"], true);
    EXPECT_TRUE(session->state()["recording"].is_null());
}

TEST_F(ViewerSessionTest, TwoStartsAtOnceStartOneRecording) {
    Gate path_gate;
    on_path = [&] { path_gate.pass_when_released(); };
    auto first = std::async(std::launch::async, [&] { return session->record("start"); });
    ASSERT_TRUE(path_gate.wait_entered());
    const std::string second = runtime_error_of([&] { session->record("start"); });
    const std::string switched =
        runtime_error_of([&] { session->select_backend("stereo-bm", ""); });
    const Json meanwhile = session->state();
    path_gate.release();
    EXPECT_EQ(first.get()["recording"]["is_running"], true);
    EXPECT_EQ(second, "recording already in progress");
    EXPECT_EQ(switched, "recording already in progress");
    EXPECT_TRUE(meanwhile["recording"].is_null());
    EXPECT_EQ(script->built, 1);
    on_path = nullptr;
    session->record("stop");
}

}  // namespace
}  // namespace kelvo
