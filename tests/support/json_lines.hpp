// JSON Lines output of the `kelvo` command (one document a line) for tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "kelvo/json.hpp"

namespace kelvo::testing {

inline std::vector<Json> json_lines(const std::string& text) {
    std::vector<Json> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) out.push_back(Json::parse(line));
    }
    return out;
}

}  // namespace kelvo::testing
