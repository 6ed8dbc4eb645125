// A viewer connection with deadlines, plain or over TLS.
#include "viewer/connection_stream.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "core/small_util.hpp"

namespace kelvo::detail {
namespace connection_stream {

constexpr std::size_t RECV_CHUNK = 4096;

std::int64_t deadline_in(double seconds) {
    return steady_now_ns() + static_cast<std::int64_t>(seconds * 1e9);
}

/// After an SSL_read or SSL_write that gave `r` <= 0: 0 when the call is to be
/// retried once the socket is ready for `want` (set here: TLS may need to
/// write to read, or read to write), else the SSL error that ends the call.
int tls_wait(SSL* ssl, int r, short& want) {
    const int error = SSL_get_error(ssl, r);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ) {
        want = POLLIN;
        return 0;
    }
    if (error == SSL_ERROR_WANT_WRITE) {
        want = POLLOUT;
        return 0;
    }
    return error;
}

void address_of(const sockaddr_storage& addr, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (addr.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        port = ntohs(a.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
        inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof text);
        port = ntohs(a.sin6_port);
    }
    ip = text;
}

}  // namespace connection_stream

ConnectionStream::ConnectionStream(int fd, SSL_CTX* tls, ConnectionTable& table,
                                   ConnectionEntry& entry, ConnectionTimeouts timeouts)
    : _fd(fd), _table(table), _entry(entry), _timeouts(timeouts) {
    if (tls) {
        _ssl = SSL_new(tls);
        if (_ssl) SSL_set_fd(_ssl, fd);
    }
}

ConnectionStream::~ConnectionStream() {
    if (!_ssl) return;
    // A close_notify if it goes out at once; the socket closes anyway.
    SSL_shutdown(_ssl);
    SSL_free(_ssl);
    ERR_clear_error();
}

bool ConnectionStream::wait_for(short events, std::int64_t deadline_ns) const {
    for (;;) {
        const std::int64_t left_ms = (deadline_ns - steady_now_ns()) / 1000000;
        if (left_ms < 0) return false;
        pollfd p{_fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left_ms, 1000000)) + 1);
        if (n > 0) return (p.revents & (POLLERR | POLLNVAL)) == 0 || (p.revents & events) != 0;
        if (n < 0 && errno != EINTR) return false;
    }
}

bool ConnectionStream::handshake() {
    if (!_ssl) return true;
    const std::int64_t deadline = connection_stream::deadline_in(_timeouts.idle_s);
    for (;;) {
        const int r = SSL_accept(_ssl);
        if (r == 1) return true;
        const int error = SSL_get_error(_ssl, r);
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ) {
            if (!wait_for(POLLIN, deadline)) return false;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            if (!wait_for(POLLOUT, deadline)) return false;
        } else {
            return false;  // not TLS, or a handshake that failed
        }
    }
}

ssize_t ConnectionStream::fill(std::int64_t deadline_ns, bool reading) {
    if (_at > 0 && _at == _buffer.size()) {
        _buffer.clear();
        _at = 0;
    } else if (_at > connection_stream::RECV_CHUNK) {
        _buffer.erase(0, _at);
        _at = 0;
    }
    char chunk[connection_stream::RECV_CHUNK];
    for (;;) {
        ssize_t n = 0;
        short want = POLLIN;
        if (_ssl) {
            const int r = SSL_read(_ssl, chunk, sizeof chunk);
            if (r > 0) {
                n = r;
            } else if (const int error = connection_stream::tls_wait(_ssl, r, want); error != 0) {
                return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
            } else {
                n = -1;
            }
        } else {
            n = ::recv(_fd, chunk, sizeof chunk, 0);
            if (n == 0) return 0;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        }
        if (n > 0) {
            _buffer.append(chunk, static_cast<std::size_t>(n));
            _table.received(_entry, static_cast<std::size_t>(n), reading);
            return n;
        }
        if (!wait_for(want, deadline_ns)) return -1;
    }
}

HeadCheck ConnectionStream::next_head(const HeadLimits& limits) {
    const std::int64_t idle_deadline = connection_stream::deadline_in(_timeouts.idle_s);
    std::int64_t head_deadline = 0;
    HeadCheck head;
    for (;;) {
        // The check's offsets count from the first unread byte, which
        // fill() may move to the buffer's front but never reorders.
        const std::string_view data = std::string_view(_buffer).substr(_at);
        if (!data.empty()) {
            head = check_head(data, limits, head);
            if (head.state != HeadCheck::State::incomplete) return head;
            if (!head_deadline) head_deadline = connection_stream::deadline_in(_timeouts.header_s);
        }
        const bool waiting_idle = data.empty();
        const ssize_t n = fill(waiting_idle ? idle_deadline : head_deadline, true);
        if (n > 0) continue;
        if (n < 0 && !waiting_idle && steady_now_ns() >= head_deadline) {
            HeadCheck out;
            out.state = HeadCheck::State::refused;
            out.status = 408;
            out.message = "request head too slow (it must arrive within a few seconds)";
            return out;
        }
        return {};
    }
}

void ConnectionStream::begin_request(const HeadCheck& head) {
    _request_left = head.head_bytes + head.content_length;
    const double body_s =
        _timeouts.header_s + static_cast<double>(head.content_length) / _timeouts.min_body_rate;
    _body_deadline_ns = connection_stream::deadline_in(body_s);
}

bool ConnectionStream::is_readable() const {
    if (_request_left == 0) return false;
    if (_at < _buffer.size() || (_ssl && SSL_pending(_ssl) > 0)) return true;
    return wait_for(POLLIN, _body_deadline_ns);
}

ssize_t ConnectionStream::read(char* ptr, size_t size) {
    // Never past the request: a body without a length reads as empty, and
    // the next request stays in the buffer.
    size = std::min(size, _request_left);
    if (size == 0) return 0;
    if (_at == _buffer.size()) {
        const ssize_t n = fill(_body_deadline_ns, false);
        if (n <= 0) return n;
    }
    const std::size_t n = std::min(size, _buffer.size() - _at);
    std::copy_n(_buffer.data() + _at, n, ptr);
    _at += n;
    _request_left -= n;
    return static_cast<ssize_t>(n);
}

bool ConnectionStream::is_writable() const {
    if (!wait_for(POLLOUT, connection_stream::deadline_in(_timeouts.write_s))) return false;
    // A client that hung up is gone even though the socket still takes
    // bytes: a paused stream, which writes nothing, must still end.
    pollfd p{_fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
}

ssize_t ConnectionStream::write(const char* ptr, size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        ssize_t n = 0;
        short want = POLLOUT;
        if (_ssl) {
            const int r = SSL_write(_ssl, ptr + sent,
                                    static_cast<int>(std::min<std::size_t>(size - sent, 1 << 20)));
            if (r > 0) {
                n = r;
            } else if (connection_stream::tls_wait(_ssl, r, want) != 0) {
                return -1;
            }
        } else {
            n = ::send(_fd, ptr + sent, size - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        }
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (!wait_for(want, connection_stream::deadline_in(_timeouts.write_s))) return -1;
    }
    return static_cast<ssize_t>(sent);
}

void ConnectionStream::send_raw(const std::string& data) {
    write(data.data(), data.size());
}

void ConnectionStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    port = 0;
    ip.clear();
    if (getpeername(_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        connection_stream::address_of(addr, ip, port);
    }
}

void ConnectionStream::get_local_ip_and_port(std::string& ip, int& port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    port = 0;
    ip.clear();
    if (getsockname(_fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        connection_stream::address_of(addr, ip, port);
    }
}

}  // namespace kelvo::detail
