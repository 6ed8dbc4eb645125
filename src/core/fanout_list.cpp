#include "kelvo/sources/fanout_list.hpp"

#include <algorithm>
#include <stdexcept>

#include "kelvo/log.hpp"

namespace kelvo {

void FanoutList::add(FrameCallbackPtr cb) {
    if (!cb || !*cb) throw std::invalid_argument("add_fanout needs a callback, got none");
    MutexLock lock(_mutex);
    _callbacks.push_back(std::move(cb));
}

void FanoutList::remove(const FrameCallbackPtr& cb) {
    MutexLock lock(_mutex);
    const auto it = std::find(_callbacks.begin(), _callbacks.end(), cb);
    if (it != _callbacks.end()) _callbacks.erase(it);
}

void FanoutList::clear() {
    MutexLock lock(_mutex);
    _callbacks.clear();
}

std::vector<FrameCallbackPtr> FanoutList::snapshot() const {
    MutexLock lock(_mutex);
    return _callbacks;
}

std::size_t FanoutList::size() const {
    MutexLock lock(_mutex);
    return _callbacks.size();
}

void FanoutList::dispatch(const FramePtr& frame, spdlog::logger& logger) const {
    for (const auto& cb : snapshot()) {
        try {
            (*cb)(frame);
        } catch (...) {
            log_exception(logger, "fanout callback raised (non-fatal)");
        }
    }
}

}  // namespace kelvo
