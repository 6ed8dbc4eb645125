#include <cmath>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/log.hpp"

namespace kelvo {
namespace detail {

int as_int(const Json& value, const std::string& name) {
    if (value.is_number_integer()) {
        const auto v = value.get<std::int64_t>();
        if (v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max()) {
            return static_cast<int>(v);
        }
    } else if (value.is_number_float()) {
        const double v = value.get<double>();
        if (std::isfinite(v) && v == std::floor(v) && std::abs(v) < 2e9) return static_cast<int>(v);
    }
    throw std::invalid_argument(
        fmt::format("{} must be an integer; got {}", repr(name), value.dump()));
}

}  // namespace detail

int check_camera_control_value(const CameraControl& c, const Json& value) {
    if (value.is_boolean() && c.kind != "boolean") {
        throw std::invalid_argument(
            fmt::format("camera control {} takes a number, not true or false", repr(c.name)));
    }
    const int v = value.is_boolean() ? (value.get<bool>() ? 1 : 0) : detail::as_int(value, c.name);
    if (v < c.min || v > c.max || (c.step > 1 && (v - c.min) % c.step != 0)) {
        throw std::invalid_argument(
            fmt::format("camera control {} must be within {}..{}{}; got {}", c.name, c.min, c.max,
                        c.step > 1 ? fmt::format(" in steps of {}", c.step) : "", v));
    }
    if (c.enum_values) {
        std::string entries;
        for (const auto& [entry, label] : *c.enum_values) {
            if (entry == v) return v;
            entries += fmt::format("{}{} ({})", entries.empty() ? "" : ", ", entry, label);
        }
        throw std::invalid_argument(
            fmt::format("camera control {} takes one of {}; got {}", c.name, entries, v));
    }
    return v;
}

}  // namespace kelvo
