// The viewer's connection limits on their own: the size checks of a request
// head (exact statuses, decided before any body) and which connection makes
// room at a cap (real sockets, shut down so that their peer sees it).
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "viewer/connection_table.hpp"
#include "viewer/request_head.hpp"

namespace viewer_limits_test {

using kelvo::detail::check_head;
using kelvo::detail::ConnectionCaps;
using kelvo::detail::ConnectionTable;
using kelvo::detail::HeadCheck;
using kelvo::detail::HeadLimits;
using State = HeadCheck::State;

constexpr std::int64_t S = 1000000000;

struct HeadCase {
    const char* name;
    std::string data;
    State state;
    int status;           ///< refused
    std::size_t body;     ///< complete: the announced body
    const char* message;  ///< part of the refusal
};

TEST(ViewerHeadLimits, HeadsAreCheckedAsTheyArrive) {
    const HeadLimits limits{.request_line = 100, .header_line = 60, .head = 200, .body = 50};
    const std::string get = "GET /api/state HTTP/1.1\r\nHost: h\r\n";
    const HeadCase cases[] = {
        {"complete", get + "\r\n", State::complete, 0, 0, ""},
        {"bare line feeds", "GET / HTTP/1.1\nHost: h\n\n", State::complete, 0, 0, ""},
        {"no end yet", get, State::incomplete, 0, 0, ""},
        {"request line still arriving", "GET /" + std::string(90, 'a'), State::incomplete, 0, 0,
         ""},
        {"request line too long before its end", "GET /" + std::string(100, 'a'), State::refused,
         414, 0, "request line too long"},
        {"request line too long", "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n",
         State::refused, 414, 0, "request line too long"},
        {"header line too long before its end", get + "X: " + std::string(60, 'b'), State::refused,
         431, 0, "headers too large"},
        {"headers too large in all",
         get + std::string(5, 'X') +
             [] {
                 std::string many;
                 for (int i = 0; i < 6; ++i)
                     many += "X-" + std::to_string(i) + ": " + std::string(30, 'c') + "\r\n";
                 return many;
             }(),
         State::refused, 431, 0, "headers too large"},
        {"body within the limit", get + "content-length: 50\r\n\r\n", State::complete, 0, 50, ""},
        {"body announced too large", get + "Content-Length: 51\r\n\r\n", State::refused, 413, 0,
         "body too large"},
        {"huge body", get + "Content-Length: 200000000\r\n\r\n", State::refused, 413, 0,
         "at most 50 bytes"},
        {"length beyond any number", get + "Content-Length: 99999999999999999999999\r\n\r\n",
         State::refused, 400, 0, "bad Content-Length"},
        {"length not a number", get + "Content-Length: 12a\r\n\r\n", State::refused, 400, 0,
         "bad Content-Length"},
        {"negative length", get + "Content-Length: -1\r\n\r\n", State::refused, 400, 0,
         "bad Content-Length"},
        {"two lengths that differ", get + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n",
         State::refused, 400, 0, "bad Content-Length"},
        {"chunked body", get + "Transfer-Encoding: chunked\r\n\r\n", State::refused, 411, 0,
         "Content-Length"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A byte at a time, each check resuming the last, ends as one check of the whole.
        HeadCheck step;
        for (std::size_t n = 1; n <= c.data.size() && step.state == State::incomplete; ++n) {
            step = check_head(std::string_view(c.data).substr(0, n), limits, step);
        }
        const HeadCheck head = check_head(c.data, limits);
        EXPECT_EQ(step.state, head.state);
        EXPECT_EQ(step.status, head.status);
        EXPECT_EQ(step.head_bytes, head.head_bytes);
        EXPECT_EQ(head.state, c.state);
        if (c.state == State::refused) {
            EXPECT_EQ(head.status, c.status);
            EXPECT_NE(head.message.find(c.message), std::string::npos) << head.message;
        }
        if (c.state == State::complete) {
            EXPECT_EQ(head.content_length, c.body);
            EXPECT_EQ(head.head_bytes, c.data.size());
        }
    }
}

TEST(ViewerHeadLimits, ErrorResponsesAreCompleteAndClose) {
    const std::string r = kelvo::detail::error_response(413, "request body too large");
    EXPECT_EQ(r.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0U);
    EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos);
    const std::string body = R"({"error":"request body too large"})";
    EXPECT_NE(r.find("Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    EXPECT_EQ(r.substr(r.size() - body.size()), body);
}

/// A connected pair of sockets: the table holds one end, the test watches the other.
struct Peer {
    Peer() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~Peer() {
        close(fds[0]);
        close(fds[1]);
    }
    int server() const { return fds[0]; }
    /// True once the table has shut the server's end down.
    bool shut() const {
        char c;
        return recv(fds[1], &c, 1, MSG_DONTWAIT) == 0;
    }
    int fds[2] = {-1, -1};
};

TEST(ViewerConnectionTable, TheLeastSendingMakesRoomNeverTheBusyNorTheNewcomer) {
    ConnectionTable table(ConnectionCaps{.total = 4, .per_client = 4, .min_rate = 64});
    Peer busy, fast, trickling, idle, newcomer, late;
    const auto b = table.admit(busy.server(), "a", 0);
    const auto f = table.admit(fast.server(), "a", 0);
    const auto t = table.admit(trickling.server(), "a", 0);
    const auto i = table.admit(idle.server(), "a", 0);
    ASSERT_TRUE(b && f && t && i);
    ASSERT_TRUE(table.set_busy(*b, true));
    table.received(*f, 5000, true);  // a request arriving at a fair pace
    table.received(*t, 3, true);     // three bytes in ten seconds
    // At the cap: the idle one goes first, then the trickling one.
    const auto n = table.admit(newcomer.server(), "a", 10 * S);
    ASSERT_TRUE(n);
    EXPECT_TRUE(idle.shut());
    EXPECT_FALSE(trickling.shut() || fast.shut() || busy.shut());
    EXPECT_FALSE(table.set_busy(*i, true)) << "an evicted connection cannot start a request";
    ASSERT_TRUE(table.admit(late.server(), "a", 10 * S));
    EXPECT_TRUE(trickling.shut());
    EXPECT_FALSE(newcomer.shut() || fast.shut() || busy.shut());
    EXPECT_EQ(table.evictions(), 2U);
    EXPECT_EQ(table.size(), 4);
}

TEST(ViewerConnectionTable, AmongTheJustAdmittedTheOldestGoesFirst) {
    // A crowd opened a moment ago, one byte each, and a page's connection
    // whose request has not been read yet: the crowd makes room.
    ConnectionTable table(ConnectionCaps{.total = 3, .per_client = 3, .min_rate = 64});
    Peer crowd1, crowd2, page, next;
    table.received(*table.admit(crowd1.server(), "a", 0), 1, true);
    table.received(*table.admit(crowd2.server(), "a", S / 10), 1, true);
    ASSERT_TRUE(table.admit(page.server(), "a", S / 2));
    ASSERT_TRUE(table.admit(next.server(), "a", S / 2 + 1000));
    EXPECT_TRUE(crowd1.shut());
    EXPECT_FALSE(crowd2.shut() || page.shut());
}

TEST(ViewerConnectionTable, WhenNoneMayMakeRoomTheNewcomerIsRefused) {
    ConnectionTable table(ConnectionCaps{.total = 2, .per_client = 2, .min_rate = 64});
    Peer a, b, c;
    const auto ea = table.admit(a.server(), "x", 0);
    const auto eb = table.admit(b.server(), "y", 0);
    ASSERT_TRUE(table.set_busy(*ea, true));
    ASSERT_TRUE(table.set_busy(*eb, true));
    EXPECT_FALSE(table.admit(c.server(), "z", S));
    EXPECT_FALSE(a.shut() || b.shut());
    // A connection between two requests may make room again.
    ASSERT_TRUE(table.set_busy(*eb, false));
    EXPECT_TRUE(table.admit(c.server(), "z", S));
    EXPECT_TRUE(b.shut());
}

TEST(ViewerConnectionTable, OneClientMakesRoomAmongItsOwn) {
    ConnectionTable table(ConnectionCaps{.total = 10, .per_client = 2, .min_rate = 64});
    Peer other, first, second, third;
    ASSERT_TRUE(table.admit(other.server(), "10.0.0.2", 0));  // idle, but another client's
    ASSERT_TRUE(table.admit(first.server(), "10.0.0.1", 0));
    ASSERT_TRUE(table.admit(second.server(), "10.0.0.1", 0));
    ASSERT_TRUE(table.admit(third.server(), "10.0.0.1", S));
    EXPECT_TRUE(first.shut());
    EXPECT_FALSE(other.shut() || second.shut());
}

TEST(ViewerConnectionTable, CloseAllShutsEveryConnectionAndRefusesMore) {
    ConnectionTable table(ConnectionCaps{});
    Peer a, b, c;
    const auto ea = table.admit(a.server(), "x", 0);
    ASSERT_TRUE(table.set_busy(*ea, true));
    ASSERT_TRUE(table.admit(b.server(), "x", 0));
    table.close_all();
    EXPECT_TRUE(a.shut() && b.shut());
    EXPECT_FALSE(table.admit(c.server(), "x", 0));
    table.release(ea);
    EXPECT_EQ(table.size(), 1);
}

}  // namespace viewer_limits_test
