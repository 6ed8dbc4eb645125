// The fan-out callbacks of a frame source. A pump holds the list by shared
// pointer, so it can dispatch safely even after its source is gone.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/sources/types.hpp"
#include "kelvo/sync.hpp"

namespace spdlog {
class logger;
}

namespace kelvo {

/// Fan-out callbacks are held by pointer: identity is the pointer, so adding
/// one twice calls it twice, and removal takes the first equal pointer.
using FrameCallback = std::function<void(const FramePtr&)>;
using FrameCallbackPtr = std::shared_ptr<const FrameCallback>;

inline FrameCallbackPtr make_frame_callback(FrameCallback fn) {
    return std::make_shared<const FrameCallback>(std::move(fn));
}

/// Thread-safe. Callbacks run outside the list's lock, on a copy of the list,
/// so a callback may add or remove callbacks (its change applies from the
/// next frame).
class KELVO_API FanoutList {
  public:
    /// Appends `cb`; std::invalid_argument for a null callback.
    void add(FrameCallbackPtr cb) KELVO_EXCLUDES(_mutex);
    /// Removes the first registration of `cb`; one never added is ignored.
    void remove(const FrameCallbackPtr& cb) KELVO_EXCLUDES(_mutex);
    /// Removes every callback (the source is going away).
    void clear() KELVO_EXCLUDES(_mutex);
    std::vector<FrameCallbackPtr> snapshot() const KELVO_EXCLUDES(_mutex);
    std::size_t size() const KELVO_EXCLUDES(_mutex);
    /// Calls every callback with `frame`, in registration order, on the
    /// calling thread; a callback that raises is logged "fanout callback
    /// raised (non-fatal)" with its error and the next one runs.
    void dispatch(const FramePtr& frame, spdlog::logger& logger) const KELVO_EXCLUDES(_mutex);

  private:
    mutable Mutex _mutex;
    std::vector<FrameCallbackPtr> _callbacks KELVO_GUARDED_BY(_mutex);
};

}  // namespace kelvo
