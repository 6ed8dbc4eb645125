// The viewer's HTTP server: the embedded page, a JSON API over a
// ViewerSession, one multipart JPEG stream per panel, a binary stream of
// point frames for the 3-D panel and server-sent events for the live figures.
//
// Secure by default: it listens on loopback unless told otherwise, and any
// other address needs a token. Every request's Host must name this server
// (DNS rebinding) and an Origin, when sent, must be this server's own
// (cross-site requests); bodies are bounded, must be JSON and are validated
// field by field; open streams are bounded. A refused or bad request gets a
// 4xx with {"error": "..."} and never reaches the pipeline.
//
// Slow, idle and hostile clients cannot lock the page out: every connection
// has deadlines (the first byte of a request, the rest of its head, its body
// at a minimum rate, each write), connections are capped per client address
// and in total, and at a cap the connection that has sent least (idle, or
// trickling) makes room for the newcomer. Request lines, headers and bodies
// have size limits answered with 414, 431 and 413 before a body is read.
// With a certificate and key it serves HTTPS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/viewer/viewer_session.hpp"

namespace kelvo {

struct ViewerServerOptions {
    std::string host = "127.0.0.1";
    int port = 8765;  ///< 0: a free port chosen by the system
    /// Required on any request when not empty; must be given for a host
    /// that is not a loopback address.
    std::string token;
    std::size_t max_body_bytes = 16 * 1024;
    /// Image, point-cloud and event streams open at once, over all browsers
    /// (a page holds five); the newest beyond it is refused.
    int max_streams = 16;
    double event_period_s = 0.25;  ///< between two figure updates
    /// Connections open at once, in all and from one client address; more than
    /// max_streams, so that a page's API requests find room beside its streams.
    int max_connections = 64;
    int max_connections_per_client = 48;
    double idle_timeout_s = 5.0;    ///< for the first byte of each request
    double header_timeout_s = 4.0;  ///< for the rest of a request's head
    /// Both given: HTTPS with this PEM certificate (chain) and private key.
    std::string tls_cert_file;
    std::string tls_key_file;
};

/// True for "127.0.0.1" (any 127.x.y.z), "::1" and "localhost".
KELVO_API bool is_loopback_host(const std::string& host);
/// 128 random bits as 32 hexadecimal digits.
KELVO_API std::string generate_token();

namespace detail {
struct ViewerServerState;
}

/// States: created -> serving (start) -> stopped (stop). Each connection is
/// served on a thread of a bounded pool larger than `max_connections`, so an
/// admitted connection always has a thread (streams count against
/// `max_streams` as well). start() ignores SIGPIPE for the process: a browser
/// that goes away must not end it.
class KELVO_API ViewerServer {
  public:
    /// std::invalid_argument for a non-loopback host without a token, a bad
    /// option, or a TLS certificate or key that cannot be loaded.
    ViewerServer(std::shared_ptr<ViewerSession> session, ViewerServerOptions options);
    ~ViewerServer();  ///< stops
    ViewerServer(const ViewerServer&) = delete;
    ViewerServer& operator=(const ViewerServer&) = delete;

    /// Binds and starts serving; RuntimeError when the address cannot be bound.
    void start();
    /// Ends every stream and stops serving. Safe to call more than once.
    void stop();
    /// The bound port (after start()).
    int port() const;
    /// The page's address (https: with TLS), with the token when there is one.
    std::string url() const;
    bool uses_tls() const;
    /// Milliseconds from the pipeline handing a packet out to the last byte of
    /// one of its images written to a client, for the most recent images.
    std::vector<double> latencies_ms() const;
    /// The same for the 3-D panel's point frames.
    std::vector<double> point_latencies_ms() const;

  private:
    std::shared_ptr<detail::ViewerServerState> _state;
};

}  // namespace kelvo
