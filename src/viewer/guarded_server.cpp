// The viewer's per-connection loop around cpp-httplib's request handling.
#include "viewer/guarded_server.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/small_util.hpp"

namespace kelvo::detail {
namespace guarded_server {

std::string peer_address(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
    char host[NI_MAXHOST] = "";
    getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, nullptr, 0,
                NI_NUMERICHOST);
    return host;
}

/// Lowers the calling thread's scheduling priority (Linux nice values are per thread).
bool lower_priority() {
    constexpr int NICER = 5;
    const auto tid = static_cast<id_t>(::gettid());
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, tid);
    return errno == 0 && setpriority(PRIO_PROCESS, tid, std::min(now + NICER, 19)) == 0;
}

}  // namespace guarded_server

bool GuardedServer::process_and_close_socket(socket_t sock) {
    // Connections are served below the pipeline's priority: a flood of
    // requests slows the viewer's answers, not the frames a robot runs on.
    static thread_local const bool lowered [[maybe_unused]] = guarded_server::lower_priority();
    const ConnectionEntryPtr entry =
        _table.admit(sock, guarded_server::peer_address(sock), steady_now_ns());
    bool ok = false;
    if (entry) {
        ok = serve(sock, *entry);
        _table.release(entry);
    } else {
        // Every place holds a request being answered (or the server stops):
        // a short answer that never waits on the client.
        const std::string refusal =
            error_response(503, "the viewer is serving as many connections as it can; retry");
        (void)::send(sock, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

bool GuardedServer::widen_backlog(int backlog) {
    return ::listen(svr_sock_, backlog) == 0;
}

bool GuardedServer::serve(int fd, ConnectionEntry& entry) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    ConnectionStream stream(fd, _tls, _table, entry, _limits.timeouts);
    if (!stream.handshake()) return false;
    for (int served = 0;;) {
        const HeadCheck head = stream.next_head(_limits.head);
        if (head.state == HeadCheck::State::incomplete) return served > 0;
        if (head.state == HeadCheck::State::refused) {
            stream.send_raw(error_response(head.status, head.message));
            return false;
        }
        if (!_table.set_busy(entry, true)) return false;
        stream.begin_request(head);
        const bool last = ++served >= _limits.requests_per_connection;
        bool closed = false;
        const bool written = process_request(stream, last, closed, nullptr);
        if (!_table.set_busy(entry, false)) return written;
        if (!written || closed || last || !stream.request_consumed()) return written;
    }
}

}  // namespace kelvo::detail
