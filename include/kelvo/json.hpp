// The kit's JSON value type: key order is kept, as selection metadata and
// recorded calibrations depend on it.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "kelvo/export.hpp"

namespace kelvo {
using Json = nlohmann::ordered_json;

namespace detail {
/// The value, or JSON null when it is absent.
template <typename T>
Json optional_json(const std::optional<T>& value) {
    return value ? Json(*value) : Json(nullptr);
}

/// An integer JSON value (a float with no fraction is accepted) that fits an
/// int; std::invalid_argument naming `name` otherwise.
KELVO_API int as_int(const Json& value, const std::string& name);
}  // namespace detail
}  // namespace kelvo
