// Every frame a source hands out until its end, for the calibration tools.
#pragma once

#include "kelvo/sources/base.hpp"

namespace kelvo::detail {

/// Calls `each(frame)` for every frame; a source that gives nothing for 30
/// one-second waits without reaching its end is taken as ended.
template <typename Each>
void for_each_source_frame(FrameSource& source, Each&& each) {
    int empty_grabs = 0;
    while (empty_grabs < 30) {
        const FramePtr frame = source.grab(1.0);
        if (!frame) {
            if (source.at_end()) break;
            ++empty_grabs;
            continue;
        }
        empty_grabs = 0;
        each(frame);
    }
}

}  // namespace kelvo::detail
