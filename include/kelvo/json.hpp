// The kit's JSON value type: key order is kept, as selection metadata and
// recorded calibrations depend on it.
#pragma once

#include <nlohmann/json.hpp>

namespace kelvo {
using Json = nlohmann::ordered_json;
}  // namespace kelvo
