// A place in a recording as users write it: a frame index ("120") or a time
// with its unit ("2.5s", "1500ms", "250000us"). One parser for the command
// line, the viewer and Python, so that the same text means the same place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kelvo/export.hpp"

namespace kelvo {

struct Position {
    bool is_time = false;
    std::int64_t value = 0;  ///< microseconds or frame index
    std::string text;        ///< as the user wrote it
};

/// The largest time a position may name, in microseconds: half the range of
/// a timestamp, so that adding a recording's start time cannot overflow.
inline constexpr std::int64_t POSITION_MAX_US = INT64_MAX / 2;

/// std::invalid_argument naming `what` ("--start", "start") when `text` is
/// neither form, is negative or names a time past POSITION_MAX_US. A time
/// rounds to the nearest microsecond, halves away from zero.
KELVO_API Position parse_position(std::string_view text, std::string_view what);

}  // namespace kelvo
