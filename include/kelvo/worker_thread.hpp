// The one way the kit runs and stops a background thread (source pumps,
// pipeline threads): start by name; stop = signal, wait with a limit, then
// join, or detach when called from the thread itself or past the limit.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "kelvo/event.hpp"
#include "kelvo/export.hpp"
#include "kelvo/sync.hpp"

namespace kelvo {

/// A body left running after stop() (detached) must own what it uses, for
/// example by holding a shared pointer to its state: the WorkerThread keeps
/// only the stop and exit flags alive for it.
///
/// States: idle -> running (start) -> idle (stop; the thread was joined or
/// detached). Thread-safe: stop() may race start() and other stop() calls.
class KELVO_API WorkerThread {
  public:
    /// The body receives the stop flag, set by request_stop() and stop().
    using Body = std::function<void(const Event& stop)>;
    static constexpr double DEFAULT_STOP_LIMIT_S = 2.0;

    WorkerThread() = default;
    ~WorkerThread();  ///< stop() with the default limit
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    /// Starts `body` on a new thread named `name` (Linux keeps 15
    /// characters). RuntimeError while a thread started earlier is not stopped.
    void start(std::string name, Body body) KELVO_EXCLUDES(_mutex);
    /// Sets the stop flag without waiting.
    void request_stop() KELVO_EXCLUDES(_mutex);
    /// Sets the stop flag and waits at most `limit_s` seconds for the body to
    /// return. True when the thread was joined (or there was none); false when
    /// it was detached: called from the thread itself, or still running at
    /// the limit.
    bool stop(double limit_s = DEFAULT_STOP_LIMIT_S) KELVO_EXCLUDES(_mutex);
    /// Started and its body has not returned.
    bool is_running() const KELVO_EXCLUDES(_mutex);
    /// The calling thread is this worker's thread.
    bool is_current_thread() const KELVO_EXCLUDES(_mutex);

  private:
    struct Control {
        Event stop;
        Event exited;
    };

    mutable Mutex _mutex;
    std::shared_ptr<Control> _control KELVO_GUARDED_BY(_mutex);
    std::thread _thread KELVO_GUARDED_BY(_mutex);
};

}  // namespace kelvo
