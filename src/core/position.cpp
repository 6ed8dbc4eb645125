#include "kelvo/position.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include <fmt/format.h>

namespace kelvo {
namespace {

bool parse_index(std::string_view text, std::int64_t& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

// strtod's grammar (as the command line has always accepted), the whole
// text; a number too large for a double comes back infinite.
bool parse_real(std::string_view text, double& out) {
    if (text.empty()) return false;
    const std::string owned(text);
    char* end = nullptr;
    out = std::strtod(owned.c_str(), &end);
    return end == owned.c_str() + owned.size() && !std::isnan(out);
}

}  // namespace

Position parse_position(std::string_view text, std::string_view what) {
    Position out;
    out.text = std::string(text);
    if (parse_index(text, out.value)) {
        if (out.value < 0)
            throw std::invalid_argument(fmt::format("{} must not be negative; got {}", what, text));
        return out;
    }
    struct Unit {
        std::string_view suffix;
        double to_us;
    };
    // Longest suffix first: "ms" and "us" also end in "s".
    static constexpr Unit UNITS[] = {{"ms", 1e3}, {"us", 1.0}, {"s", 1e6}};
    for (const auto& unit : UNITS) {
        if (text.size() <= unit.suffix.size() || !text.ends_with(unit.suffix)) continue;
        double number = 0;
        if (!parse_real(text.substr(0, text.size() - unit.suffix.size()), number)) break;
        if (number < 0)
            throw std::invalid_argument(fmt::format("{} must not be negative; got {}", what, text));
        const double us = std::round(number * unit.to_us);
        // POSITION_MAX_US + 1 is 2^62, exact as a double (the maximum is not).
        constexpr double LIMIT = 4611686018427387904.0;
        static_assert(static_cast<std::int64_t>(LIMIT) - 1 == POSITION_MAX_US);
        if (!(us < LIMIT)) {
            throw std::invalid_argument(
                fmt::format("{} must be at most {} us; got '{}'", what, POSITION_MAX_US, text));
        }
        out.is_time = true;
        out.value = static_cast<std::int64_t>(us);
        return out;
    }
    throw std::invalid_argument(fmt::format(
        "{} expects a frame index (120) or a time with its unit (2.5s, 1500ms, 250000us); got '{}'",
        what, text));
}

}  // namespace kelvo
