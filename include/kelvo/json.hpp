// The kit's JSON value type: key order is kept, as selection metadata and
// recorded calibrations depend on it.
#pragma once

#include <optional>

#include <nlohmann/json.hpp>

namespace kelvo {
using Json = nlohmann::ordered_json;

namespace detail {
/// The value, or JSON null when it is absent.
template <typename T>
Json optional_json(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}
}  // namespace detail
}  // namespace kelvo
