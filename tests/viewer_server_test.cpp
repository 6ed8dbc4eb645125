// The viewer's server over real HTTP on loopback: every refused or bad
// request gets a clear 4xx and leaves the pipeline running; tokens, Host and
// Origin checks, bounded bodies and streams; exact steps and the measure
// tool on the synthetic scene of `kelvo demo`.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/json.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_server.hpp"
#include "support/test_paths.hpp"
#include "viewer_http.hpp"

namespace {

namespace fs = std::filesystem;
using kelvo::Json;
using kelvo::testing::Connection;
using kelvo::testing::demo_recording;
using kelvo::testing::http;
using kelvo::testing::parse_reply;
using kelvo::testing::post;
using kelvo::testing::Reply;
using kelvo::testing::Request;

class ViewerServerTest : public kelvo::testing::ViewerFixture {
  protected:
    void SetUp() override { start({}); }

    /// Waits until the frame on display is `frame`.
    bool shows_frame(std::int64_t frame) {
        for (int i = 0; i < 100; ++i) {
            const Json s = session->state();
            if (s["frame"] == frame) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::int64_t frames_emitted() { return session->state()["frames_emitted"].get<std::int64_t>(); }
};

struct BadCase {
    const char* name;
    Request request;
    int status;
    const char* message;  ///< part of the error text
};

TEST_F(ViewerServerTest, BadRequestsGetClearErrorsAndThePipelineKeepsRunning) {
    session->playback({{"action", "seek"}, {"frame", 0}});
    ASSERT_TRUE(shows_frame(0));
    const std::string big(64 * 1024, ' ');
    const BadCase cases[] = {
        {"wrong host", {.host = "attacker.example:80"}, 403, "does not name this viewer"},
        {"no host", {.host = " "}, 403, "does not name this viewer"},
        {"cross-site origin",
         {.headers = {"Origin: http://attacker.example"}},
         403,
         "cross-site request from origin"},
        {"cross-site fetch", {.headers = {"Sec-Fetch-Site: cross-site"}}, 403, "cross-site"},
        {"bad json",
         {.method = "POST", .path = "/api/control", .body = "{\"name\": "},
         400,
         "not valid JSON"},
        {"not an object",
         {.method = "POST", .path = "/api/control", .body = "[1, 2]"},
         400,
         "must be a JSON object"},
        {"missing field",
         {.method = "POST", .path = "/api/control", .body = "{\"name\": \"block_size\"}"},
         400,
         "needs the field 'value'"},
        {"unknown control",
         {.method = "POST", .path = "/api/control", .body = R"({"name": "warp", "value": 1})"},
         400,
         "unknown control 'warp'"},
        {"out of range",
         {.method = "POST",
          .path = "/api/control",
          .body = R"({"name": "block_size", "value": 999})"},
         400,
         "block_size"},
        {"wrong type",
         {.method = "POST",
          .path = "/api/control",
          .body = R"({"name": "block_size", "value": "big"})"},
         400,
         "must be an integer"},
        {"fractional",
         {.method = "POST",
          .path = "/api/control",
          .body = R"({"name": "block_size", "value": 9.5})"},
         400,
         "must be an integer"},
        {"unknown back-end",
         {.method = "POST", .path = "/api/backend", .body = R"({"backend": "nope"})"},
         400,
         "nope"},
        {"unknown action",
         {.method = "POST", .path = "/api/playback", .body = R"({"action": "rewind"})"},
         400,
         "unknown playback action"},
        {"seek past the end",
         {.method = "POST", .path = "/api/playback", .body = R"({"action": "seek", "frame": 40})"},
         400,
         "within 0..39"},
        {"rate too fast",
         {.method = "POST", .path = "/api/playback", .body = R"({"action": "rate", "rate": 8})"},
         400,
         "within 0.25..4"},
        {"loop not boolean",
         {.method = "POST", .path = "/api/playback", .body = R"({"action": "loop", "loop": 1})"},
         400,
         "true or false"},
        {"stop without recording",
         {.method = "POST", .path = "/api/record", .body = R"({"action": "stop"})"},
         409,
         "not recording"},
        {"probe outside", {.path = "/api/probe?x=5000&y=1"}, 400, "outside"},
        {"probe not a number", {.path = "/api/probe?x=left&y=1"}, 400, "must be a number"},
        {"measure bad point",
         {.method = "POST", .path = "/api/measure", .body = R"({"a": [1], "b": [2, 3]})"},
         400,
         "pixel position"},
        {"form post",
         {.method = "POST",
          .path = "/api/control",
          .body = "name=x",
          .content_type = "application/x-www-form-urlencoded"},
         415,
         "must be JSON"},
        {"oversized body",
         {.method = "POST", .path = "/api/control", .body = big},
         413,
         "too large"},
        {"unknown panel", {.path = "/stream/thermal.mjpg"}, 400, "unknown panel"},
        {"stream width not a number",
         {.path = "/stream/left.mjpg?width=wide"},
         400,
         "must be a number"},
        {"stream width too small", {.path = "/stream/left.mjpg?width=8"}, 400, "whole number"},
        {"stream width fractional",
         {.path = "/stream/disparity.mjpg?width=320.5"},
         400,
         "whole number"},
        {"unknown page", {.path = "/admin"}, 404, "no such"},
    };
    const auto emitted_before = frames_emitted();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Reply r = http(port, c.request);
        EXPECT_EQ(r.status, c.status) << r.body;
        ASSERT_NO_THROW(r.json()) << r.body;
        EXPECT_NE(r.json().value("error", "").find(c.message), std::string::npos) << r.body;
    }
    // Still serving, still computing: a step is answered with a new frame.
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 3})").status, 200);
    EXPECT_TRUE(shows_frame(3));
    EXPECT_GT(frames_emitted(), emitted_before);
    EXPECT_EQ(http(port, {}).status, 200);
}

TEST_F(ViewerServerTest, StepsLandOnExactFramesAndControlsRecomputeThePausedFrame) {
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 10})").status, 200);
    ASSERT_TRUE(shows_frame(10));
    const struct {
        const char* action;
        int frame;
    } steps[] = {{"step_forward", 11},
                 {"step_forward", 12},
                 {"step_back", 11},
                 {"step_back", 10},
                 {"step_back", 9}};
    for (const auto& s : steps) {
        SCOPED_TRACE(s.action);
        ASSERT_EQ(post(port, "/api/playback", Json{{"action", s.action}}.dump()).status, 200);
        EXPECT_TRUE(shows_frame(s.frame));
    }
    const auto generation = session->state()["generation"].get<std::int64_t>();
    const Reply r = post(port, "/api/control", R"({"name": "block_size", "value": 21})");
    ASSERT_EQ(r.status, 200) << r.body;
    bool found = false;
    const Json controls = r.json();
    for (const auto& c : controls["backend"]) {
        if (c["name"] == "block_size") found = c["value"] == 21;
    }
    EXPECT_TRUE(found) << r.body;
    // The same frame, computed again with the new value.
    for (int i = 0; i < 100 && session->state()["generation"] == generation; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(session->state()["generation"].get<std::int64_t>(), generation);
    EXPECT_EQ(session->state()["frame"], 9);
}

TEST_F(ViewerServerTest, AControlChangeRecomputesTheLastFrameOfAFinishedReplay) {
    const auto last = session->describe()["source"]["frame_count"].get<std::int64_t>() - 1;
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 30})").status, 200);
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "play"})").status, 200);
    for (int i = 0; i < 100 && !session->state().value("at_end", false); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(session->state().value("at_end", false));
    ASSERT_TRUE(shows_frame(last));
    const auto generation = session->state()["generation"].get<std::int64_t>();
    ASSERT_EQ(post(port, "/api/control", R"({"name": "block_size", "value": 21})").status, 200);
    for (int i = 0; i < 100 && session->state()["generation"] == generation; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GT(session->state()["generation"].get<std::int64_t>(), generation);
    EXPECT_EQ(session->state()["frame"], last);
}

TEST_F(ViewerServerTest, MeasureOnTheSyntheticSceneMatchesItsTruth) {
    // Frame 5, on the board at 1.25 m (it moves 1 px right per frame), where
    // no nearer board covers it: 160 px apart at 500 px focal length.
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto& board = scene.planes[1];
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 5})").status, 200);
    ASSERT_TRUE(shows_frame(5));
    const double y = board.rect.y + 40, x0 = board.rect.x + 5 + 40, x1 = x0 + 160;
    const Reply r = post(port, "/api/measure", Json{{"a", {x0, y}}, {"b", {x1, y}}}.dump());
    ASSERT_EQ(r.status, 200) << r.body;
    const double truth = 160.0 * board.depth_m / scene.focal_px;
    EXPECT_NEAR(r.json()["distance_m"].get<double>(), truth, 0.02 * truth) << r.body;
    const Reply probe =
        http(port, {.path = "/api/probe?x=" + std::to_string(x0) + "&y=" + std::to_string(y)});
    EXPECT_NEAR(probe.json()["depth_m"].get<double>(), board.depth_m, 0.02 * board.depth_m);
}

/// The JPEG images of one stream, decoded one by one.
class StreamReader {
  public:
    StreamReader(int port, const std::string& path) : _c(port) {
        _c.send_all("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\n\r\n");
    }

    /// The next whole image; empty when none came in time.
    cv::Mat next() {
        const auto whole = [this](const std::string& d) {
            const auto start = d.find("\xff\xd8", _pos);
            return start != std::string::npos && d.find("\xff\xd9", start) != std::string::npos;
        };
        _data += _c.read_until([&](const std::string& d) { return whole(_data + d); });
        const auto start = _data.find("\xff\xd8", _pos);
        const auto end = start == std::string::npos ? start : _data.find("\xff\xd9", start);
        if (end == std::string::npos) return {};
        _pos = end + 2;
        const std::vector<std::uint8_t> jpeg(_data.begin() + static_cast<std::ptrdiff_t>(start),
                                             _data.begin() + static_cast<std::ptrdiff_t>(end) + 2);
        return cv::imdecode(jpeg, cv::IMREAD_COLOR);
    }

    /// Reads images until one has `size` (a frame recomputed for a new
    /// width follows the one on display); its size, or the last one seen.
    cv::Size until_size(cv::Size size, int attempts = 5) {
        cv::Size seen;
        for (int i = 0; i < attempts && seen != size; ++i) {
            const cv::Mat image = next();
            if (image.empty()) break;
            seen = image.size();
        }
        return seen;
    }

  private:
    Connection _c;
    std::string _data;
    std::size_t _pos = 0;
};

cv::Mat first_stream_image(int port, const std::string& path) {
    return StreamReader(port, path).next();
}

TEST_F(ViewerServerTest, StreamsShowTheWidthAskedForAndProbesKeepFramePixels) {
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 4})").status, 200);
    ASSERT_TRUE(shows_frame(4));
    const Json size = session->state()["image_size"];
    ASSERT_EQ(size, Json::array({640, 360}));
    // Eyes are made as wide as their client shows them, maps coloured at
    // that width; the paused frame is recomputed when the eyes' width changes.
    const struct {
        const char* query;
        cv::Size image;
    } cases[] = {
        {"", {640, 360}},             // the full frame
        {"?width=320", {320, 180}},   // half
        {"?width=300", {304, 171}},   // rounded up to a multiple of 16
        {"?width=528", {528, 297}},   // a panel in a wide window
        {"?width=4000", {640, 360}},  // never larger than the frame
    };
    for (const char* panel : {"left", "right", "disparity", "confidence"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(panel) + c.query);
            StreamReader stream(port, std::string("/stream/") + panel + ".mjpg" + c.query);
            EXPECT_EQ(stream.until_size(c.image), c.image);
        }
    }
    // Probes and the figures keep frame pixels while the eyes are smaller.
    StreamReader small(port, "/stream/left.mjpg?width=160");
    ASSERT_EQ(small.until_size({160, 90}), cv::Size(160, 90));
    EXPECT_EQ(session->state()["image_size"], size);
    EXPECT_EQ(http(port, {.path = "/api/probe?x=600&y=300"}).status, 200);
    // A smaller view changes not the colour bar's range.
    const Json ranges = session->state()["ranges"];
    first_stream_image(port, "/stream/disparity.mjpg?width=160");
    EXPECT_EQ(session->state()["ranges"], ranges);
}

/// The panel of the newest packet after generation `after`, decoded (grey or colour).
cv::Mat panel_image(const kelvo::ViewerSession& session, kelvo::ViewerPanel panel,
                    std::uint64_t after, int mode) {
    const auto image = session.wait_image(panel, after, 5.0);
    if (!image) return {};
    const std::vector<std::uint8_t> bytes(image->data.begin(), image->data.end());
    return cv::imdecode(bytes, mode);
}

/// Share of the map panel's pixels shown as holes (black; JPEG keeps them
/// near black, and the darkest colour of the map is far from it).
double hole_share(const cv::Mat& bgr) {
    cv::Mat grey;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    return static_cast<double>(cv::countNonZero(grey < 20)) / static_cast<double>(grey.total());
}

TEST_F(ViewerServerTest, ConfidenceThresholdIsCheckedAndShownInState) {
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 6})").status, 200);
    ASSERT_TRUE(shows_frame(6));
    EXPECT_EQ(session->state()["confidence_threshold"], 0);  // every value shown at first
    const struct {
        const char* body;
        int threshold;
    } good[] = {
        {R"({"threshold": 1})", 1},
        {R"({"threshold": 128})", 128},
        {R"({"threshold": 255})", 255},
        {R"({"threshold": 64.0})", 64},  // a whole number written as a float
        {R"({"threshold": 0})", 0},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.body);
        const Reply r = post(port, "/api/confidence_threshold", c.body);
        ASSERT_EQ(r.status, 200) << r.body;
        EXPECT_EQ(r.json()["confidence_threshold"], c.threshold);
        EXPECT_EQ(session->state()["confidence_threshold"], c.threshold);
    }
    ASSERT_EQ(post(port, "/api/confidence_threshold", R"({"threshold": 40})").status, 200);
    const struct {
        const char* name;
        const char* body;
        const char* message;
    } bad[] = {
        {"below", R"({"threshold": -1})", "'threshold' must be within 0..255; got -1"},
        {"above", R"({"threshold": 256})", "'threshold' must be within 0..255; got 256"},
        {"far above", R"({"threshold": 70000})", "must be within 0..255"},
        {"fractional", R"({"threshold": 12.5})", "'threshold' must be an integer; got 12.5"},
        {"text", R"({"threshold": "7"})", "'threshold' must be an integer; got \"7\""},
        {"boolean", R"({"threshold": true})", "'threshold' must be an integer; got true"},
        {"null", R"({"threshold": null})", "'threshold' must be an integer; got null"},
        {"list", R"({"threshold": [7]})", "'threshold' must be an integer"},
        {"missing", R"({"value": 7})", "confidence threshold needs the field 'threshold'"},
        {"not an object", "7", "confidence threshold must be a JSON object"},
    };
    const auto emitted_before = frames_emitted();
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        const Reply r = post(port, "/api/confidence_threshold", c.body);
        EXPECT_EQ(r.status, 400) << r.body;
        ASSERT_NO_THROW(r.json()) << r.body;
        EXPECT_NE(r.json().value("error", "").find(c.message), std::string::npos) << r.body;
        EXPECT_EQ(session->state()["confidence_threshold"], 40);  // left as it was
    }
    // Still running: a seek is answered with a new frame.
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 7})").status, 200);
    EXPECT_TRUE(shows_frame(7));
    EXPECT_GT(frames_emitted(), emitted_before);
}

// The map panel shows as holes exactly the values the confidence panel shows
// below the threshold; the paused frame is shown again at once, not computed again.
TEST_F(ViewerServerTest, ConfidenceThresholdHidesDoubtfulValuesOfThePausedFrame) {
    using kelvo::ViewerPanel;
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 6})").status, 200);
    ASSERT_TRUE(shows_frame(6));
    const auto generation = session->state()["generation"].get<std::uint64_t>();
    const cv::Mat confidence =
        panel_image(*session, ViewerPanel::confidence, generation - 1, cv::IMREAD_GRAYSCALE);
    const cv::Mat all =
        panel_image(*session, ViewerPanel::disparity, generation - 1, cv::IMREAD_COLOR);
    ASSERT_FALSE(confidence.empty());
    ASSERT_EQ(confidence.size(), all.size());
    const auto share_below = [&](int t) {
        return static_cast<double>(cv::countNonZero(confidence < t)) /
               static_cast<double>(confidence.total());
    };
    // Holes have confidence 0, black in both panels; a value has 25 or more.
    EXPECT_NEAR(hole_share(all), share_below(12), 0.03);
    const auto emitted = frames_emitted();
    std::uint64_t seen = generation;
    for (const int t : {128, 200}) {
        SCOPED_TRACE(t);
        ASSERT_EQ(post(port, "/api/confidence_threshold", Json{{"threshold", t}}.dump()).status,
                  200);
        const auto now = session->state()["generation"].get<std::uint64_t>();
        EXPECT_EQ(now, seen + 1);
        const cv::Mat shown = panel_image(*session, ViewerPanel::disparity, seen, cv::IMREAD_COLOR);
        seen = now;
        EXPECT_NEAR(hole_share(shown), share_below(t), 0.03);
        EXPECT_GT(hole_share(shown), hole_share(all) + 0.05) << "nothing hidden";
    }
    EXPECT_EQ(session->state()["frame"], 6);
    EXPECT_EQ(frames_emitted(), emitted);  // shown again, not computed again
    // The same threshold again changes nothing, so nothing is sent again.
    ASSERT_EQ(post(port, "/api/confidence_threshold", R"({"threshold": 200})").status, 200);
    EXPECT_EQ(session->state()["generation"].get<std::uint64_t>(), seen);
}

// Clients of the eye panels decide how wide the pipeline makes the eyes: the
// widest one's width, whole when one asks for the whole image, unchanged once
// none is left.
TEST_F(ViewerServerTest, TheEyesAreAsWideAsTheirWidestClient) {
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "seek", "frame": 2})").status, 200);
    ASSERT_TRUE(shows_frame(2));
    using kelvo::ViewerPanel;
    std::uint64_t seen = 0;
    /// The width of the left eye once the frame has been recomputed for it.
    const auto eye_width = [&](int expected) {
        int width = 0;
        for (int i = 0; i < 5 && width != expected; ++i) {
            const auto image = session->wait_image(ViewerPanel::left, seen, 5.0);
            if (!image) break;
            seen = image->generation;
            const std::vector<std::uint8_t> bytes(image->data.begin(), image->data.end());
            width = cv::imdecode(bytes, cv::IMREAD_COLOR).cols;
        }
        return width;
    };
    auto narrow = session->watch(ViewerPanel::right, 320);
    EXPECT_EQ(eye_width(320), 320);
    auto wide = session->watch(ViewerPanel::left, 480);
    EXPECT_EQ(eye_width(480), 480);
    EXPECT_EQ(session->watch(ViewerPanel::disparity, 160), nullptr);  // maps need nothing
    auto whole = session->watch(ViewerPanel::left, 0);
    EXPECT_EQ(eye_width(640), 640);
    whole.reset();
    wide.reset();
    EXPECT_EQ(eye_width(320), 320);
    narrow.reset();
    EXPECT_EQ(session->state()["image_size"], Json::array({640, 360}));
    EXPECT_THROW((void)session->watch(ViewerPanel::left, -1), std::invalid_argument);
}

TEST_F(ViewerServerTest, StreamsAreBoundedAndFreedWhenClientsLeave) {
    server->stop();
    session->stop();
    start({.max_streams = 3});
    const std::string get_stream =
        "GET /stream/left.mjpg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "loop", "loop": true})").status, 200);
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "play"})").status, 200);
    std::vector<std::unique_ptr<Connection>> open;
    for (int i = 0; i < 3; ++i) {
        open.push_back(std::make_unique<Connection>(port));
        open.back()->send_all(get_stream);
        // A whole first image arrives.
        const std::string data = open.back()->read_until([](const std::string& d) {
            return d.find("Content-Type: image/jpeg") != std::string::npos &&
                   d.find("\xff\xd9") != std::string::npos;
        });
        EXPECT_NE(data.find("HTTP/1.1 200"), std::string::npos);
        EXPECT_NE(data.find("\xff\xd8"), std::string::npos);
    }
    // Many more, all at once: each is refused at once with a clear reason.
    const char* beyond[] = {"/stream/right.mjpg", "/stream/left.mjpg", "/stream/disparity.mjpg",
                            "/events"};
    std::vector<std::thread> crowd;
    std::atomic<int> refused{0};
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 24; ++i) {
        crowd.emplace_back([&, path = beyond[i % 4]] {
            const Reply r = http(port, {.path = path});
            if (r.status == 503 && r.body.find("too many open viewer streams") != std::string::npos)
                ++refused;
        });
    }
    for (auto& t : crowd) t.join();
    EXPECT_EQ(refused.load(), 24);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    EXPECT_EQ(http(port, {}).status, 200);  // the API is not starved
    // The open streams still get new images.
    const std::string more = open.front()->read_until(
        [](const std::string& d) { return d.find("\xff\xd9") != std::string::npos; });
    EXPECT_NE(more.find("\xff\xd9"), std::string::npos);

    open.pop_back();  // a client leaves; its place frees once the server notices
    bool freed = false;
    for (int i = 0; i < 40 && !freed; ++i) {
        Connection c(port);
        c.send_all(get_stream);
        const Reply r = parse_reply(c.read_until(
            [](const std::string& d) { return d.find("\r\n\r\n") != std::string::npos; }));
        freed = r.status == 200;
        if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(freed);
}

TEST_F(ViewerServerTest, ATokenIsRequiredWhenSet) {
    server->stop();
    session->stop();
    start({.token = "s3cret"});
    EXPECT_NE(server->url().find("?token=s3cret"), std::string::npos);
    const std::string cookie = "kelvo_token_" + std::to_string(port) + "=s3cret";
    const struct {
        const char* name;
        Request request;
        int status;
    } cases[] = {
        {"none", {}, 401},
        {"wrong", {.path = "/api/state?token=guess"}, 401},
        {"wrong length", {.headers = {"Authorization: Bearer s3cre"}}, 401},
        {"bearer", {.headers = {"Authorization: Bearer s3cret"}}, 200},
        {"query", {.path = "/api/state?token=s3cret"}, 200},
        {"cookie", {.headers = {"Cookie: a=b; " + cookie}}, 200},
        {"other port's cookie", {.headers = {"Cookie: kelvo_token_1=s3cret"}}, 401},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(http(port, c.request).status, c.status);
    }
    // The page, opened with the token, hands it to its own requests as a cookie.
    const Reply page = http(port, {.path = "/?token=s3cret"});
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.head.find("Set-Cookie: " + cookie), std::string::npos);
    EXPECT_NE(page.body.find("viewer.js"), std::string::npos);
}

TEST(ViewerServerOptionsTest, OtherAddressesNeedAToken) {
    auto replay = std::make_shared<kelvo::MkvReplay>(demo_recording());
    auto session =
        std::make_shared<kelvo::ViewerSession>(kelvo::ViewerSessionOptions{.source = replay});
    const struct {
        const char* host;
        const char* token;
        bool accepted;
    } cases[] = {{"127.0.0.1", "", true}, {"localhost", "", true},    {"::1", "", true},
                 {"0.0.0.0", "", false},  {"192.168.1.7", "", false}, {"0.0.0.0", "abc", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const kelvo::ViewerServerOptions options{.host = c.host, .token = c.token};
        if (c.accepted) {
            EXPECT_NO_THROW(kelvo::ViewerServer(session, options));
        } else {
            EXPECT_THROW(kelvo::ViewerServer(session, options), std::invalid_argument);
        }
    }
    EXPECT_THROW(kelvo::ViewerSession({.source = replay, .backend = "nope"}),
                 std::invalid_argument);
}

TEST(ReplayPlaybackRate, RateIsCheckedAndPacesTheReplay) {
    for (const double bad : {0.0, 0.2, 4.5, -1.0, std::nan("")}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(kelvo::MkvReplay(demo_recording(), {.playback_rate = bad}),
                     std::invalid_argument);
    }
    // 40 frames span 1.3 s of recording: about 0.33 s at 4x, 2.6 s at 0.5x.
    const struct {
        double rate;
        double min_s, max_s;
    } cases[] = {{4.0, 0.2, 0.9}, {0.5, 2.2, 4.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        kelvo::MkvReplay replay(demo_recording());
        replay.set_playback_rate(c.rate);
        EXPECT_EQ(replay.playback_rate(), c.rate);
        replay.open();
        const auto t0 = std::chrono::steady_clock::now();
        while (!replay.at_end() &&
               std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10)) {
            replay.grab(0.1);
        }
        const double s =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_GT(s, c.min_s);
        EXPECT_LT(s, c.max_s);
    }
}

}  // namespace
