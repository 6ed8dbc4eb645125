#include "kelvo/sources/frame_slot.hpp"

namespace kelvo {

void FrameSlot::publish(FramePtr frame) {
    MutexLock lock(_mutex);
    _store(std::move(frame));
}

void FrameSlot::_store(FramePtr frame) {
    ++_grabbed;
    if (_latest) ++_dropped;
    _latest = std::move(frame);
    _cv.notify_one();
}

FramePtr FrameSlot::take(double timeout_s) {
    const auto deadline = CondVar::deadline_in(timeout_s);
    MutexLock lock(_mutex);
    while (!_latest && !_closed) {
        if (!_cv.wait_until(lock, deadline)) break;
    }
    return std::exchange(_latest, nullptr);
}

void FrameSlot::clear() {
    MutexLock lock(_mutex);
    _latest.reset();
}

std::pair<std::int64_t, std::int64_t> FrameSlot::take_stats() {
    MutexLock lock(_mutex);
    return {std::exchange(_grabbed, 0), std::exchange(_dropped, 0)};
}

void FrameSlot::close() {
    MutexLock lock(_mutex);
    _closed = true;
    _cv.notify_all();
}

void FrameSlot::reopen() {
    MutexLock lock(_mutex);
    _closed = false;
}

bool FrameSlot::is_closed() const {
    MutexLock lock(_mutex);
    return _closed;
}

}  // namespace kelvo
