#include "kelvo/controls.hpp"

#include <stdexcept>

#include <fmt/format.h>

namespace kelvo {

IntControl IntControl::number(std::string name, int default_value, std::string label, int min,
                              int max, int step, std::optional<std::string> unit) {
    IntControl c;
    c.name = std::move(name);
    c.kind = "number";
    c.default_value = default_value;
    c.label = std::move(label);
    c.min = min;
    c.max = max;
    c.step = step;
    c.unit = std::move(unit);
    return c;
}

IntControl IntControl::enumeration(std::string name, int default_value, std::string label,
                                   std::vector<std::pair<double, std::string>> enum_values) {
    IntControl c;
    c.name = std::move(name);
    c.kind = "enum";
    c.default_value = default_value;
    c.label = std::move(label);
    c.enum_values = std::move(enum_values);
    return c;
}

void IntControl::validate(int value) const {
    if (kind == "enum") {
        for (const auto& [allowed, text] : *enum_values) {
            if (static_cast<double>(value) == allowed) return;
        }
        std::string names;
        for (const auto& [allowed, text] : *enum_values) {
            names += fmt::format("{}{} ({})", names.empty() ? "" : ", ", static_cast<int>(allowed),
                                 text);
        }
        throw std::invalid_argument(
            fmt::format("control {} must be one of {}; got {}", name, names, value));
    }
    // The unit after the numbers it qualifies: "within 5..51 px".
    const std::string in_unit = unit ? " " + *unit : std::string();
    if ((min && value < *min) || (max && value > *max)) {
        throw std::invalid_argument(fmt::format("control {} must be within {}..{}{}; got {}", name,
                                                min.value_or(value), max.value_or(value), in_unit,
                                                value));
    }
    if (step && *step > 1 && min && (value - *min) % *step != 0) {
        throw std::invalid_argument(
            fmt::format("control {} must be {} plus a multiple of {}{}; got {}", name, *min, *step,
                        in_unit, value));
    }
}

Json IntControl::to_json() const {
    Json j;
    j["name"] = name;
    j["kind"] = kind;
    j["default"] = default_value;
    j["label"] = label;
    j["min"] = detail::optional_json(min);
    j["max"] = detail::optional_json(max);
    j["step"] = detail::optional_json(step);
    j["unit"] = detail::optional_json(unit);
    if (enum_values) {
        Json list = Json::array();
        for (const auto& [value, text] : *enum_values) list.push_back(Json::array({value, text}));
        j["enum_values"] = list;
    } else {
        j["enum_values"] = nullptr;
    }
    return j;
}

IntControlValues::IntControlValues(std::vector<IntControl> specs) {
    add(specs);
}

void IntControlValues::add(const std::vector<IntControl>& specs) {
    std::lock_guard lock(_mutex);
    for (const auto& spec : specs) {
        if (_values.count(spec.name)) continue;
        _specs.push_back(spec);
        _values[spec.name] = spec.default_value;
    }
}

bool IntControlValues::has(const std::string& name) const {
    std::lock_guard lock(_mutex);
    return _values.count(name) != 0;
}

const IntControl& IntControlValues::spec(const std::string& name) const {
    for (const auto& s : _specs) {
        if (s.name == name) return s;
    }
    std::string known;
    for (const auto& s : _specs) known += (known.empty() ? "" : ", ") + s.name;
    throw std::invalid_argument(fmt::format("unknown control {}; known controls: {}", name,
                                            known.empty() ? "(none)" : known));
}

int IntControlValues::get(const std::string& name) const {
    std::lock_guard lock(_mutex);
    spec(name);
    return _values.at(name);
}

void IntControlValues::set(const std::string& name, int value) {
    std::lock_guard lock(_mutex);
    spec(name).validate(value);
    _values[name] = value;
    ++_version;
}

}  // namespace kelvo
