// cpp-httplib's server with the viewer's own connection handling: every
// accepted socket is admitted by a ConnectionTable (caps, eviction of the
// least-sending) and served by a ConnectionStream (deadlines, size limits,
// TLS) before and around cpp-httplib's own request parsing and routing.
//
// cpp-httplib gives each connection a thread for its whole life and has no
// deadline for a request head as a whole (its read timeout restarts with
// every byte) and no cap on connections, so trickling sockets keep every
// thread; it reads (and throws away) an oversized body before its 413.
// Its per-request step (`process_request`) is reusable, the per-connection
// loop around it is what this class replaces.
#pragma once

#include <httplib.h>

#include "viewer/connection_stream.hpp"
#include "viewer/connection_table.hpp"
#include "viewer/request_head.hpp"

namespace kelvo::detail {

struct ConnectionLimits {
    ConnectionCaps caps;
    HeadLimits head;
    ConnectionTimeouts timeouts;
    int requests_per_connection = 100;
};

class GuardedServer final : public httplib::Server {
  public:
    /// `tls` (borrowed, may be null: plain HTTP) must outlive the server.
    GuardedServer(ConnectionLimits limits, SSL_CTX* tls)
        : _limits(limits), _table(limits.caps), _tls(tls) {}

    /// Admissions, evictions and the shutdown of every connection at stop.
    ConnectionTable& connections() { return _table; }
    /// After binding: cpp-httplib listens with a backlog of 5, so that a
    /// burst of connections (a page opening its streams beside a crowd of
    /// idle sockets) waits for SYN retries of a second and more.
    bool widen_backlog(int backlog);

  private:
    /// Runs on a pool thread for the connection's whole life.
    bool process_and_close_socket(socket_t sock) override;
    bool serve(int fd, ConnectionEntry& entry);

    const ConnectionLimits _limits;
    ConnectionTable _table;
    SSL_CTX* const _tls;
};

}  // namespace kelvo::detail
