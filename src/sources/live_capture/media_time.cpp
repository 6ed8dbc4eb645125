// Device packet times to frame times, exactly: a device clock's pts x 1e9
// overflows 64 bits, so the arithmetic is done in 128.
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "kelvo/sources/live_capture.hpp"

namespace kelvo::detail {
namespace {

__extension__ typedef __int128 int128;

int128 floor_div(int128 a, int128 b) {
    int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

std::int64_t narrow(int128 value, const char* what) {
    if (value < std::numeric_limits<std::int64_t>::min() ||
        value > std::numeric_limits<std::int64_t>::max()) {
        throw std::out_of_range(fmt::format("{} does not fit in 64 bits", what));
    }
    return static_cast<std::int64_t>(value);
}

}  // namespace

std::int64_t packet_time_ns(std::int64_t pts, int num, int den) {
    if (den == 0) throw std::invalid_argument("packet time base has a zero denominator");
    return narrow(floor_div(static_cast<int128>(pts) * num * 1000000000, den), "packet time");
}

std::int64_t relative_pts_us(std::int64_t time_ns, std::int64_t anchor_ns) {
    return narrow(floor_div(static_cast<int128>(time_ns) - anchor_ns, 1000), "pts_us");
}

}  // namespace kelvo::detail
