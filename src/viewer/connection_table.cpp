// Admission and eviction of the viewer's connections.
#include "viewer/connection_table.hpp"

#include <sys/socket.h>

#include <algorithm>

namespace kelvo::detail {
namespace connection_table {

constexpr std::int64_t GRACE_NS = 1000000000;

/// Bytes per second over the connection's life; a young one counts as a
/// second old, so a newcomer that has not spoken yet ranks with the idle.
double send_rate(const ConnectionEntry& e, std::int64_t now_ns) {
    const double age_s = std::max(1.0, static_cast<double>(now_ns - e.admitted_ns) / 1e9);
    return static_cast<double>(e.bytes_in) / age_s;
}

}  // namespace connection_table

ConnectionEntryPtr ConnectionTable::admit(int fd, std::string client, std::int64_t now_ns) {
    auto entry = std::make_shared<ConnectionEntry>();
    entry->fd = fd;
    entry->client = std::move(client);
    entry->admitted_ns = now_ns;
    MutexLock lock(_mutex);
    if (_closed) return nullptr;
    const auto same_client = std::count_if(
        _open.begin(), _open.end(), [&](const auto& e) { return e->client == entry->client; });
    // The client's own cap first: one address makes room among its own.
    const std::string* scope = same_client >= _caps.per_client ? &entry->client : nullptr;
    if (scope || static_cast<int>(_open.size()) >= _caps.total) {
        ConnectionEntryPtr out = victim(scope, *entry, now_ns);
        if (!out) return nullptr;
        out->evicted = true;
        ::shutdown(out->fd, SHUT_RDWR);  // its thread wakes, ends and releases it
        _open.erase(std::find(_open.begin(), _open.end(), out));
        ++_evictions;
    }
    _open.push_back(entry);
    return entry;
}

ConnectionEntryPtr ConnectionTable::victim(const std::string* client,
                                           const ConnectionEntry& newcomer,
                                           std::int64_t now_ns) const {
    ConnectionEntryPtr best;
    bool best_young = false;
    double best_rate = 0.0;
    for (const auto& e : _open) {
        if (e.get() == &newcomer || e->busy || (client && e->client != *client)) continue;
        const double rate = connection_table::send_rate(*e, now_ns);
        if (e->reading && rate >= _caps.min_rate) continue;  // a request arriving at a fair pace
        // One admitted less than a second ago has had no time to send: the
        // young go only when no older one can, the oldest of them first (a
        // burst of newcomers would otherwise push out a page's request
        // before its first packet is read).
        const bool young = now_ns - e->admitted_ns < connection_table::GRACE_NS;
        // Otherwise the lowest rate; among equals the oldest (open is in admission order).
        const bool better = !best || (young != best_young ? !young : !young && rate < best_rate);
        if (better) {
            best = e;
            best_young = young;
            best_rate = rate;
        }
    }
    return best;
}

void ConnectionTable::received(ConnectionEntry& entry, std::size_t bytes, bool reading) {
    MutexLock lock(_mutex);
    entry.bytes_in += bytes;
    entry.reading = reading;
}

bool ConnectionTable::set_busy(ConnectionEntry& entry, bool busy) {
    MutexLock lock(_mutex);
    if (entry.evicted) return false;
    entry.busy = busy;
    entry.reading = false;
    return true;
}

void ConnectionTable::release(const ConnectionEntryPtr& entry) {
    MutexLock lock(_mutex);
    const auto it = std::find(_open.begin(), _open.end(), entry);
    if (it != _open.end()) _open.erase(it);
}

void ConnectionTable::close_all() {
    MutexLock lock(_mutex);
    _closed = true;
    for (const auto& e : _open) {
        e->evicted = true;
        ::shutdown(e->fd, SHUT_RDWR);
    }
}

int ConnectionTable::size() const {
    MutexLock lock(_mutex);
    return static_cast<int>(_open.size());
}

std::uint64_t ConnectionTable::evictions() const {
    MutexLock lock(_mutex);
    return _evictions;
}

}  // namespace kelvo::detail
