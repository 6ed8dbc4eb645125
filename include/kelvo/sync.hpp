// Mutexes whose lock rules the compiler checks: Clang's thread-safety
// analysis (-Wthread-safety) sees which fields a mutex guards and which
// functions must hold it. The attributes expand to nothing on other compilers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KELVO_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KELVO_THREAD_ATTRIBUTE(x)
#endif

#define KELVO_CAPABILITY(x) KELVO_THREAD_ATTRIBUTE(capability(x))
#define KELVO_SCOPED_CAPABILITY KELVO_THREAD_ATTRIBUTE(scoped_lockable)
#define KELVO_GUARDED_BY(x) KELVO_THREAD_ATTRIBUTE(guarded_by(x))
#define KELVO_PT_GUARDED_BY(x) KELVO_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define KELVO_ACQUIRED_BEFORE(...) KELVO_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define KELVO_ACQUIRED_AFTER(...) KELVO_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define KELVO_REQUIRES(...) KELVO_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define KELVO_ACQUIRE(...) KELVO_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define KELVO_RELEASE(...) KELVO_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define KELVO_TRY_ACQUIRE(...) KELVO_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define KELVO_EXCLUDES(...) KELVO_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define KELVO_ASSERT_CAPABILITY(x) KELVO_THREAD_ATTRIBUTE(assert_capability(x))
#define KELVO_NO_THREAD_SAFETY_ANALYSIS KELVO_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace kelvo {

class CondVar;
class MutexLock;

/// A std::mutex the analysis knows as a capability.
class KELVO_CAPABILITY("mutex") Mutex {
  public:
    void lock() KELVO_ACQUIRE() { _mutex.lock(); }
    void unlock() KELVO_RELEASE() { _mutex.unlock(); }
    bool try_lock() KELVO_TRY_ACQUIRE(true) { return _mutex.try_lock(); }

  private:
    friend class MutexLock;
    std::mutex _mutex;
};

/// Holds a Mutex for its scope; may be released and taken again inside it.
class KELVO_SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) KELVO_ACQUIRE(mutex) : _lock(mutex._mutex) {}
    ~MutexLock() KELVO_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void unlock() KELVO_RELEASE() { _lock.unlock(); }
    void lock() KELVO_ACQUIRE() { _lock.lock(); }

  private:
    friend class CondVar;
    std::unique_lock<std::mutex> _lock;
};

/// A condition variable waited on through a MutexLock. Waits are written as
/// loops at the call site (`while (!ready) if (!cv.wait_until(...)) break;`)
/// so the analysis sees every guarded read under the lock.
class CondVar {
  public:
    using Clock = std::chrono::steady_clock;

    void notify_one() noexcept { _cv.notify_one(); }
    void notify_all() noexcept { _cv.notify_all(); }
    /// Waits until notified (or woken spuriously).
    void wait(MutexLock& lock) { _cv.wait(lock._lock); }
    /// Waits until notified, woken spuriously or `deadline`; false once the deadline has passed.
    bool wait_until(MutexLock& lock, Clock::time_point deadline) {
        return _cv.wait_until(lock._lock, deadline) == std::cv_status::no_timeout;
    }

    /// The deadline `seconds` from now; negative or NaN is now, and huge
    /// values are capped so the clock arithmetic cannot overflow.
    static Clock::time_point deadline_in(double seconds) {
        if (!(seconds > 0)) return Clock::now();
        if (seconds > 1e7) seconds = 1e7;
        return Clock::now() +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

  private:
    std::condition_variable _cv;
};

}  // namespace kelvo
