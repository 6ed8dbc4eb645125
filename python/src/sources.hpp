// The Python face of frame sources: one holder per source object. The
// pipeline and the recording controller take the kit source from it.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "kelvo/sources/base.hpp"
#include "native.hpp"

namespace kelvo::py {

struct PySource {
    /// Dropping the last reference closes the source, which waits for its
    /// pump; a pump blocked on the interpreter lock must be able to finish.
    ~PySource() {
        if (!impl) return;
        nb::gil_scoped_release unlocked;
        impl.reset();
    }
    std::shared_ptr<FrameSource> impl;
    /// Python callables registered with add_fanout and the kit callbacks made
    /// for them, in order (touched with the interpreter lock held).
    std::vector<std::pair<PyRefPtr, FrameCallbackPtr>> callbacks;
};

}  // namespace kelvo::py
