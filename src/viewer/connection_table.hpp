// The viewer's open connections, capped in total and per client address.
// When a cap is reached the connection that has sent least makes room (an
// idle one, or one trickling below a minimum rate), never the newcomer and
// never one whose request is being answered: a handful of idle or slowloris
// sockets cannot lock the page out, even from the page's own address (one
// NAT, or loopback, hides many clients behind one address).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvo/sync.hpp"

namespace kelvo::detail {

struct ConnectionCaps {
    int total = 64;
    int per_client = 48;
    /// Bytes per second of a connection's life below which a connection in
    /// the middle of a request may be made to room; one between requests may always.
    double min_rate = 64.0;
};

/// One admitted connection. The owning thread reads and writes its socket;
/// any thread may shut it down through the table (eviction, stop).
struct ConnectionEntry {
    int fd = -1;
    std::string client;
    std::int64_t admitted_ns = 0;
    // Guarded by the table's mutex.
    std::uint64_t bytes_in = 0;
    bool busy = false;     ///< a complete request is being answered
    bool reading = false;  ///< part of a request has arrived
    bool evicted = false;
};
using ConnectionEntryPtr = std::shared_ptr<ConnectionEntry>;

/// Thread-safe. An fd is shut down (never closed) by the table, and only
/// while it is registered, so a number reused by the system is never touched.
class ConnectionTable {
  public:
    explicit ConnectionTable(ConnectionCaps caps) : _caps(caps) {}

    /// Registers `fd`, first shutting down the least-sending connection of
    /// the same client (or of all) when a cap is reached. Null when no
    /// connection may make room, or the table is closed: refuse the newcomer.
    ConnectionEntryPtr admit(int fd, std::string client, std::int64_t now_ns);
    /// Counts bytes received; `reading` says a request is under way.
    void received(ConnectionEntry& entry, std::size_t bytes, bool reading);
    /// A request's head is complete (true) or its answer written (false);
    /// false from begin when the connection was evicted meanwhile.
    bool set_busy(ConnectionEntry& entry, bool busy);
    /// Unregisters before its owner closes the fd.
    void release(const ConnectionEntryPtr& entry);
    /// Shuts down every connection and refuses all from now on.
    void close_all();

    int size() const;
    /// Connections made to room so far.
    std::uint64_t evictions() const;

  private:
    ConnectionEntryPtr victim(const std::string* client, const ConnectionEntry& newcomer,
                              std::int64_t now_ns) const KELVO_REQUIRES(_mutex);

    const ConnectionCaps _caps;
    mutable Mutex _mutex;
    std::vector<ConnectionEntryPtr> _open KELVO_GUARDED_BY(_mutex);
    bool _closed KELVO_GUARDED_BY(_mutex) = false;
    std::uint64_t _evictions KELVO_GUARDED_BY(_mutex) = 0;
};

}  // namespace kelvo::detail
