#include "kelvo/event.hpp"

namespace kelvo {

void Event::set() {
    std::lock_guard lock(_mutex);
    _flag = true;
    _cv.notify_all();
}

void Event::clear() {
    std::lock_guard lock(_mutex);
    _flag = false;
}

bool Event::is_set() const {
    std::lock_guard lock(_mutex);
    return _flag;
}

bool Event::wait_for(double seconds) const {
    std::unique_lock lock(_mutex);
    if (seconds <= 0) return _flag;
    _cv.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return _flag; });
    return _flag;
}

}  // namespace kelvo
