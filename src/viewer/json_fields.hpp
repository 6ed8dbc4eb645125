// Typed reading of request bodies: every field is checked for presence, type
// and range, and a bad one is an invalid_argument naming it, which the
// server answers with 400.
#pragma once

#include <cstdint>
#include <string>

#include "kelvo/json.hpp"

namespace kelvo::detail {

class JsonFields {
  public:
    /// invalid_argument unless `body` is an object; `what` names it in messages.
    JsonFields(const Json& body, std::string what);

    std::string string(const std::string& key) const;
    /// An optional string: empty when absent or null.
    std::string string_or_empty(const std::string& key) const;
    std::int64_t integer(const std::string& key, std::int64_t min, std::int64_t max) const;
    double number(const std::string& key, double min, double max) const;
    bool boolean(const std::string& key) const;
    const Json& value(const std::string& key) const;

  private:
    const Json& _body;
    std::string _what;
};

/// Parses a request body; invalid_argument with the parser's reason.
Json parse_json_body(const std::string& body);

}  // namespace kelvo::detail
