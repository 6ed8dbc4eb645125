// The 3-D panel's point frames: the depth on display in the calibration in
// force (checked against the synthetic scene's truth and /api/measure), the
// grid as wide as asked, the confidence threshold applied, and the stream
// served over HTTP under the same checks and bounds as the image streams.
#include <cstring>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "kelvo/json.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_server.hpp"
#include "viewer_http.hpp"

namespace viewer_points_test {

using kelvo::Json;
using kelvo::testing::Connection;
using kelvo::testing::http;
using kelvo::testing::post;
using kelvo::testing::Reply;

/// A point frame's header and samples, read as the page reads them.
struct PointFrame {
    std::int64_t frame = 0;
    std::uint64_t generation = 0;
    int columns = 0, rows = 0, step = 0, flags = 0;
    float fx = 0, fy = 0, cx = 0, cy = 0, unit = 0, nearest = 0, farthest = 0;
    std::uint32_t valid = 0;
    std::vector<std::uint16_t> depth;
    std::vector<std::uint8_t> rgb;

    /// The 3-D point of column i, row j, in metres; z 0 when it has none.
    std::array<double, 3> point(int i, int j) const {
        const double z = depth[static_cast<std::size_t>(j * columns + i)] * double(unit);
        return {(i * step - cx) * z / fx, (j * step - cy) * z / fy, z};
    }
};

template <typename T>
T at(const std::string& b, std::size_t offset) {
    T v;
    std::memcpy(&v, b.data() + offset, sizeof v);
    return v;
}

PointFrame parse(const std::string& b) {
    PointFrame f;
    EXPECT_EQ(b.substr(0, 4), "KVP1");
    EXPECT_EQ(at<std::uint32_t>(b, 4), b.size());
    f.frame = at<std::int64_t>(b, 8);
    f.generation = at<std::uint64_t>(b, 16);
    f.columns = at<std::uint16_t>(b, 24);
    f.rows = at<std::uint16_t>(b, 26);
    f.step = at<std::uint16_t>(b, 28);
    f.flags = at<std::uint16_t>(b, 30);
    f.fx = at<float>(b, 32);
    f.fy = at<float>(b, 36);
    f.cx = at<float>(b, 40);
    f.cy = at<float>(b, 44);
    f.unit = at<float>(b, 48);
    f.nearest = at<float>(b, 52);
    f.farthest = at<float>(b, 56);
    f.valid = at<std::uint32_t>(b, 60);
    const auto n = static_cast<std::size_t>(f.columns) * static_cast<std::size_t>(f.rows);
    EXPECT_EQ(b.size(), 64 + 5 * n);
    if (b.size() != 64 + 5 * n) return f;
    f.depth.resize(n);
    std::memcpy(f.depth.data(), b.data() + 64, 2 * n);
    f.rgb.assign(b.begin() + 64 + static_cast<std::ptrdiff_t>(2 * n), b.end());
    return f;
}

class ViewerPointsTest : public kelvo::testing::ViewerFixture {
  protected:
    void SetUp() override { start({}); }

    /// Seeks to `frame` and returns its point frame at `width`.
    PointFrame frame_at(std::int64_t frame, int width) {
        EXPECT_EQ(
            post(port, "/api/playback", Json{{"action", "seek"}, {"frame", frame}}.dump()).status,
            200);
        for (int i = 0; i < 100; ++i) {
            const auto points = session->wait_points(0, 2.0, width);
            if (points) {
                PointFrame f = parse(points->data);
                if (f.frame == frame) return f;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "no point frame of frame " << frame;
        return {};
    }
};

TEST_F(ViewerPointsTest, PointsAreTheSceneInTheCalibrationInForceAndMatchTheMeasureTool) {
    // Frame 5, on the board at 1.25 m (it moves 1 px right per frame), where
    // no nearer board covers it.
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto& board = scene.planes[1];
    const struct {
        int width, step, columns, rows;
    } grids[] = {{0, 1, 640, 360}, {160, 4, 160, 90}, {320, 2, 320, 180}, {176, 4, 160, 90}};
    for (const auto& g : grids) {
        SCOPED_TRACE(g.width);
        const PointFrame f = frame_at(5, g.width);
        EXPECT_EQ(f.step, g.step);
        EXPECT_EQ(f.columns, g.columns);
        EXPECT_EQ(f.rows, g.rows);
        EXPECT_EQ(f.flags, 3);  // stereo-bm gives confidence; the recording has a calibration
        EXPECT_NEAR(f.fx, scene.focal_px, 1.0);
        EXPECT_GT(f.valid, static_cast<std::uint32_t>(f.columns * f.rows / 2));
        EXPECT_LE(f.nearest, board.depth_m);
        EXPECT_GE(f.farthest, board.depth_m);
        const int i = (board.rect.x + 5 + 40 + f.step - 1) / f.step;
        const int j = (board.rect.y + 40) / f.step;
        const auto p = f.point(i, j);
        EXPECT_NEAR(p[2], board.depth_m, 0.02 * board.depth_m);
        // The measure tool's point for the same pixel (a 5x5 median of the
        // same flat board): the same to within the millimetre counts.
        const Reply m = post(
            port, "/api/measure",
            Json{{"a", {i * f.step, j * f.step}}, {"b", {i * f.step + 16, j * f.step}}}.dump());
        ASSERT_EQ(m.status, 200) << m.body;
        ASSERT_TRUE(m.json().contains("a")) << m.body;
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(p[k], m.json()["a"][k].get<double>(), 0.002);
        // Coloured from the left eye: the textured board is not black.
        const auto k = static_cast<std::size_t>(3 * (j * f.columns + i));
        EXPECT_GT(f.rgb[k] + f.rgb[k + 1] + f.rgb[k + 2], 30);
    }
}

TEST_F(ViewerPointsTest, TheConfidenceThresholdLeavesDoubtfulPointsOut) {
    const PointFrame all = frame_at(6, 320);
    ASSERT_EQ(post(port, "/api/confidence_threshold", R"({"threshold": 200})").status, 200);
    const auto points = session->wait_points(all.generation, 5.0, 320);
    ASSERT_TRUE(points);
    const PointFrame trusted = parse(points->data);
    EXPECT_EQ(trusted.frame, 6);
    EXPECT_EQ(trusted.generation, all.generation + 1);
    EXPECT_LT(trusted.valid, all.valid * 9 / 10);
    EXPECT_GT(trusted.valid, 0u);
    for (std::size_t k = 0; k < trusted.depth.size(); ++k) {
        if (trusted.depth[k]) {
            EXPECT_EQ(trusted.depth[k], all.depth[k]) << k;
        }
    }
}

/// The point frames of one stream, taken out of its chunked body as they come.
class PointStream {
  public:
    PointStream(int port, const std::string& path) : _c(port) {
        _c.send_all("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                    "\r\n\r\n");
        const std::string head =
            _c.read_until([](const std::string& d) { return d.find("\r\n\r\n") != d.npos; });
        _raw = head.substr(head.find("\r\n\r\n") + 4);
    }

    /// The next whole frame; nullopt when none came in time.
    std::optional<PointFrame> next() {
        while (true) {
            // Chunks: hexadecimal size, CRLF, data, CRLF.
            while (true) {
                const auto eol = _raw.find("\r\n");
                if (eol == std::string::npos) break;
                const std::size_t size = std::stoul(_raw.substr(0, eol), nullptr, 16);
                if (_raw.size() < eol + 2 + size + 2) break;
                _body += _raw.substr(eol + 2, size);
                _raw.erase(0, eol + 2 + size + 2);
            }
            if (_body.size() >= 8 && _body.size() >= at<std::uint32_t>(_body, 4)) {
                const std::size_t size = at<std::uint32_t>(_body, 4);
                PointFrame f = parse(_body.substr(0, size));
                _body.erase(0, size);
                return f;
            }
            const std::size_t before = _raw.size();
            _raw += _c.read_until([&](const std::string& d) { return !d.empty(); });
            if (_raw.size() == before) return std::nullopt;
        }
    }

  private:
    Connection _c;
    std::string _raw, _body;
};

TEST_F(ViewerPointsTest, AClientThatFallsBehindSkipsToTheNewestFrame) {
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "loop", "loop": true})").status, 200);
    ASSERT_EQ(post(port, "/api/playback", R"({"action": "play"})").status, 200);
    // Whole frames (1.1 MB each) that the client leaves unread for a while:
    // the socket's buffers fill and the server's write waits meanwhile.
    PointStream stream(port, "/stream/points.bin");
    const auto first = stream.next();
    ASSERT_TRUE(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    std::uint64_t last = first->generation;
    int gaps = 0, received = 0;
    for (int i = 0; i < 12; ++i) {
        const auto f = stream.next();
        ASSERT_TRUE(f);
        EXPECT_GT(f->generation, last);
        gaps += f->generation > last + 1 ? 1 : 0;
        last = f->generation;
        ++received;
    }
    const auto now = session->state()["generation"].get<std::uint64_t>();
    // About 60 packets were shown meanwhile; what the buffers held is all
    // that came late, then the newest: no backlog of every packet.
    EXPECT_GE(gaps, 1);
    EXPECT_LT(now - last, 8u) << "the stream lags " << now - last << " packets behind";
    EXPECT_GT(now - first->generation, static_cast<std::uint64_t>(received) + 10);
}

TEST_F(ViewerPointsTest, TheStreamIsCheckedAndBoundedAsTheImageStreams) {
    const struct {
        const char* name;
        kelvo::testing::Request request;
        int status;
        const char* message;
    } bad[] = {
        {"wrong host",
         {.path = "/stream/points.bin", .host = "attacker.example:80"},
         403,
         "does not name this viewer"},
        {"cross-site origin",
         {.path = "/stream/points.bin", .headers = {"Origin: http://attacker.example"}},
         403,
         "cross-site request from origin"},
        {"width too small", {.path = "/stream/points.bin?width=8"}, 400, "whole number"},
        {"width not a number", {.path = "/stream/points.bin?width=all"}, 400, "must be a number"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.name);
        const Reply r = http(port, c.request);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_NE(r.body.find(c.message), std::string::npos) << r.body;
    }

    server->stop();
    session->stop();
    start({.token = "s3cret", .max_streams = 2});
    EXPECT_EQ(http(port, {.path = "/stream/points.bin"}).status, 401);
    // Two streams fill the places; the 3-D stream counts as one and is refused beyond them.
    const std::string get_points =
        "GET /stream/points.bin?width=160&token=s3cret HTTP/1.1\r\nHost: "
        "127.0.0.1:" +
        std::to_string(port) + "\r\n\r\n";
    Connection a(port), b(port);
    a.send_all(get_points);
    const std::string first =
        a.read_until([](const std::string& d) { return d.find("KVP1") != std::string::npos; });
    EXPECT_NE(first.find("HTTP/1.1 200"), std::string::npos);
    EXPECT_NE(first.find("application/octet-stream"), std::string::npos);
    b.send_all("GET /stream/left.mjpg?token=s3cret HTTP/1.1\r\nHost: 127.0.0.1:" +
               std::to_string(port) + "\r\n\r\n");
    b.read_until([](const std::string& d) { return d.find("image/jpeg") != std::string::npos; });
    const Reply refused = http(port, {.path = "/stream/points.bin?token=s3cret"});
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("too many open viewer streams"), std::string::npos);
}

}  // namespace viewer_points_test
