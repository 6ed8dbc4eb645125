#include <chrono>

#include "kelvo/engines/base.hpp"
#include "kelvo/errors.hpp"

namespace kelvo {

InferenceFuture::~InferenceFuture() = default;
InferenceEngine::~InferenceEngine() = default;

void EventFuture::set_result(cv::Mat value) {
    std::lock_guard lock(_mutex);
    if (_done) return;
    _value = std::move(value);
    _done = true;
    _cv.notify_all();
}

void EventFuture::set_error(std::exception_ptr error) {
    std::lock_guard lock(_mutex);
    if (_done) return;
    _error = std::move(error);
    _done = true;
    _cv.notify_all();
}

bool EventFuture::wait(double timeout_s) const {
    std::unique_lock lock(_mutex);
    if (timeout_s < 0) {
        _cv.wait(lock, [this] { return _done; });
        return true;
    }
    return _cv.wait_for(lock, std::chrono::duration<double>(timeout_s), [this] { return _done; });
}

bool EventFuture::done() const {
    std::lock_guard lock(_mutex);
    return _done;
}

cv::Mat EventFuture::get(double timeout_s) const {
    if (!wait(timeout_s)) throw RuntimeError("inference result not ready within the timeout");
    std::lock_guard lock(_mutex);
    if (_error) std::rethrow_exception(_error);
    return _value;
}

}  // namespace kelvo
