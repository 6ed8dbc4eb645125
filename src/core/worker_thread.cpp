#include "kelvo/worker_thread.hpp"

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo {

WorkerThread::~WorkerThread() {
    stop();
}

void WorkerThread::start(std::string name, Body body) {
    MutexLock lock(_mutex);
    if (_thread.joinable()) throw RuntimeError("worker thread '" + name + "' already running");
    auto control = std::make_shared<Control>();
    _thread = std::thread([control, name = std::move(name), body = std::move(body)] {
        detail::name_this_thread(name.c_str());
        try {
            body(control->stop);
        } catch (...) {
            // Bodies handle their own errors; this only keeps one that slipped
            // through from ending the process.
            log_exception(*get_logger("kelvo_camera_sdk.worker"),
                          "worker thread '" + name + "' ended with an error");
        }
        control->exited.set();
    });
    _control = std::move(control);
}

void WorkerThread::request_stop() {
    MutexLock lock(_mutex);
    if (_control) _control->stop.set();
}

bool WorkerThread::stop(double limit_s) {
    std::thread thread;
    std::shared_ptr<Control> control;
    {
        MutexLock lock(_mutex);
        thread = std::move(_thread);
        control = std::move(_control);
    }
    if (!control) return true;
    control->stop.set();
    if (!thread.joinable()) return true;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // the body returns after this call; nothing to wait for
        return false;
    }
    if (control->exited.wait_for(limit_s)) {
        thread.join();
        return true;
    }
    thread.detach();  // still busy (a blocking callback); it owns its state
    return false;
}

bool WorkerThread::is_running() const {
    MutexLock lock(_mutex);
    return _control && !_control->exited.is_set();
}

bool WorkerThread::is_current_thread() const {
    MutexLock lock(_mutex);
    return _thread.joinable() && _thread.get_id() == std::this_thread::get_id();
}

}  // namespace kelvo
