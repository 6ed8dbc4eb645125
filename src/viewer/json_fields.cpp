// Typed reading of request bodies.
#include "viewer/json_fields.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "kelvo/log.hpp"

namespace kelvo::detail {

JsonFields::JsonFields(const Json& body, std::string what) : _body(body), _what(std::move(what)) {
    if (!_body.is_object()) {
        throw std::invalid_argument(_what + " must be a JSON object; got " + _body.dump());
    }
}

const Json& JsonFields::value(const std::string& key) const {
    const auto it = _body.find(key);
    if (it == _body.end()) throw std::invalid_argument(_what + " needs the field " + repr(key));
    return *it;
}

std::string JsonFields::string(const std::string& key) const {
    const Json& v = value(key);
    if (!v.is_string()) {
        throw std::invalid_argument(
            fmt::format("{} of the {} must be a string; got {}", repr(key), _what, v.dump()));
    }
    return v.get<std::string>();
}

std::string JsonFields::string_or_empty(const std::string& key) const {
    const auto it = _body.find(key);
    if (it == _body.end() || it->is_null()) return {};
    return string(key);
}

std::int64_t JsonFields::integer(const std::string& key, std::int64_t min, std::int64_t max) const {
    const Json& v = value(key);
    const int out = as_int(v, key);
    if (out < min || out > max) {
        throw std::invalid_argument(
            fmt::format("{} must be within {}..{}; got {}", repr(key), min, max, out));
    }
    return out;
}

double JsonFields::number(const std::string& key, double min, double max) const {
    const Json& v = value(key);
    if (!v.is_number()) {
        throw std::invalid_argument(
            fmt::format("{} of the {} must be a number; got {}", repr(key), _what, v.dump()));
    }
    const double out = v.get<double>();
    if (!(out >= min && out <= max)) {
        throw std::invalid_argument(
            fmt::format("{} must be within {}..{}; got {}", repr(key), min, max, v.dump()));
    }
    return out;
}

bool JsonFields::boolean(const std::string& key) const {
    const Json& v = value(key);
    if (!v.is_boolean()) {
        throw std::invalid_argument(
            fmt::format("{} of the {} must be true or false; got {}", repr(key), _what, v.dump()));
    }
    return v.get<bool>();
}

Json parse_json_body(const std::string& body) {
    try {
        return Json::parse(body);
    } catch (const Json::parse_error& e) {
        throw std::invalid_argument(std::string("the request body is not valid JSON: ") + e.what());
    }
}

}  // namespace kelvo::detail
