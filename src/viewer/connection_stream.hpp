// One viewer connection as cpp-httplib's Stream, plain or over TLS, on a
// non-blocking socket with deadlines of its own: the first byte of each
// request within the idle timeout, the rest of its head within the header
// timeout, its body at a minimum rate, every write within the write
// timeout. The head is read and checked here (sizes, see request_head.hpp)
// before cpp-httplib parses it from the buffer, and cpp-httplib never reads
// past the request it was given.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <string>

#include "viewer/connection_table.hpp"
#include "viewer/request_head.hpp"

struct ssl_st;
using SSL = ssl_st;

namespace kelvo::detail {

struct ConnectionTimeouts {
    double idle_s = 5.0;
    double header_s = 4.0;
    double min_body_rate = 1024.0;  ///< bytes per second
    double write_s = 5.0;
};

/// Runs on the connection's own thread. Not thread-safe; the table may shut
/// the socket down from another thread, which ends every wait at once.
class ConnectionStream final : public httplib::Stream {
  public:
    /// `tls` null: plain HTTP.
    ConnectionStream(int fd, SSL_CTX* tls, ConnectionTable& table, ConnectionEntry& entry,
                     ConnectionTimeouts timeouts);
    ~ConnectionStream() override;
    ConnectionStream(const ConnectionStream&) = delete;
    ConnectionStream& operator=(const ConnectionStream&) = delete;

    /// The TLS handshake (nothing for plain HTTP), within the idle timeout.
    bool handshake();
    /// Waits for the next request's head. incomplete: closed, idle too long
    /// or shut down; refused: answer `status` (a head too slow is 408).
    HeadCheck next_head(const HeadLimits& limits);
    /// cpp-httplib may now read the head and body `head` announced.
    void begin_request(const HeadCheck& head);
    /// False when cpp-httplib left part of the body unread (a refused request):
    /// the connection cannot be reused.
    bool request_consumed() const { return _request_left == 0; }
    /// Writes a whole response made here, best effort.
    void send_raw(const std::string& data);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return _fd; }

  private:
    /// Bytes from the socket into `_buffer`: >0 read, 0 closed, -1 deadline or error.
    ssize_t fill(std::int64_t deadline_ns, bool reading);
    /// Polls for `events` until `deadline_ns`; false on timeout, hang-up or error.
    bool wait_for(short events, std::int64_t deadline_ns) const;

    const int _fd;
    SSL* _ssl = nullptr;
    ConnectionTable& _table;
    ConnectionEntry& _entry;
    const ConnectionTimeouts _timeouts;
    std::string _buffer;  ///< received; from `_at` on not yet given to cpp-httplib
    std::size_t _at = 0;
    std::size_t _request_left = 0;  ///< of the current request's head and body
    std::int64_t _body_deadline_ns = 0;
};

}  // namespace kelvo::detail
