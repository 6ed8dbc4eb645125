// What the viewer's tests share: the demo recording and a raw HTTP client on
// loopback (the tests write raw requests so they can send what a browser never would).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_server.hpp"
#include "support/test_paths.hpp"

namespace kelvo::testing {

namespace fs = std::filesystem;

/// The demo recording, made once per build tree by `kelvo demo` (other test
/// processes may race to make it: each writes its own and renames it in place).
inline fs::path demo_recording() {
    const fs::path target = fs::path(KELVO_BINARY_DIR) / "test_data" / "viewer_demo.mkv";
    if (fs::exists(target)) return target;
    TempDir dir("viewer_demo");
    const int status = run_command(std::string(KELVO_CLI) + " demo --quiet --frames 40 --out " +
                                   (dir / "out").string() + " > /dev/null");
    EXPECT_EQ(status, 0);
    fs::create_directories(target.parent_path());
    fs::rename(dir / "out" / "demo.mkv", target);
    return target;
}

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
    kelvo::Json json() const { return kelvo::Json::parse(body); }
};

/// A TCP connection to the server; the test writes raw requests so it can
/// send what a browser never would.
class Connection {
  public:
    explicit Connection(int port) : _fd(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{5, 0};
        setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~Connection() { close(_fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void send_all(const std::string& data) {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const auto n = ::send(_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server may close early on an oversized body
            sent += static_cast<std::size_t>(n);
        }
    }
    /// Reads until `enough` says so or the connection closes.
    std::string read_until(const std::function<bool(const std::string&)>& enough) {
        std::string data;
        char buf[8192];
        while (!enough(data)) {
            const auto n = recv(_fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            data.append(buf, static_cast<std::size_t>(n));
        }
        return data;
    }

  private:
    int _fd;
};

inline Reply parse_reply(const std::string& raw) {
    Reply r;
    const auto end = raw.find("\r\n\r\n");
    r.head = raw.substr(0, end);
    if (raw.size() > 9) r.status = std::stoi(raw.substr(9, 3));
    if (end != std::string::npos) r.body = raw.substr(end + 4);
    return r;
}

struct Request {
    std::string method = "GET";
    std::string path = "/api/state";
    std::string body;
    std::string content_type = "application/json";
    std::string host;  ///< empty: the server's own
    std::vector<std::string> headers;
};

inline Reply http(int port, const Request& req) {
    Connection c(port);
    std::string raw = req.method + " " + req.path + " HTTP/1.1\r\nHost: " +
                      (req.host.empty() ? "127.0.0.1:" + std::to_string(port) : req.host) +
                      "\r\nConnection: close\r\n";
    for (const auto& h : req.headers) raw += h + "\r\n";
    if (req.method == "POST") {
        raw += "Content-Type: " + req.content_type +
               "\r\nContent-Length: " + std::to_string(req.body.size()) + "\r\n";
    }
    c.send_all(raw + "\r\n" + req.body);
    return parse_reply(c.read_until([](const std::string&) { return false; }));
}

inline Reply post(int port, const std::string& path, const std::string& body) {
    return http(port, {.method = "POST", .path = path, .body = body});
}

/// A viewer session on the demo recording and its server on a free loopback
/// port, stopped after each test.
class ViewerFixture : public ::testing::Test {
  protected:
    void TearDown() override {
        if (server) server->stop();
        if (session) session->stop();
    }

    void start(ViewerServerOptions options) {
        auto replay =
            std::make_shared<MkvReplay>(demo_recording(), MkvReplayOptions{.loop = loop_replay});
        session = std::make_shared<ViewerSession>(ViewerSessionOptions{.source = replay});
        session->start();
        options.port = 0;
        server = std::make_unique<ViewerServer>(session, options);
        server->start();
        port = server->port();
        // Paused, so that a seek stays on its frame.
        if (pause_after_start) session->playback({{"action", "pause"}});
    }

    bool loop_replay = false;
    bool pause_after_start = true;
    std::shared_ptr<ViewerSession> session;
    std::unique_ptr<ViewerServer> server;
    int port = 0;
};

}  // namespace kelvo::testing
