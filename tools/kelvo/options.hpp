// Options that several commands share (frame range, back-end selection,
// output safety), declared once so that their names, units, defaults and
// checks are the same everywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "kelvo/position.hpp"
#include "kelvo/writers/run_files.hpp"

namespace kelvo::cli {

/// Checks run by the parser, so a bad value is a usage error naming the option.
CLI::Validator at_least(long long minimum);
CLI::Validator not_zero();
CLI::Validator one_of(std::vector<std::string> values);

using kelvo::Position;
/// kelvo::parse_position, its refusal a UsageError naming `option`.
Position parse_position(const std::string& text, std::string_view option);
CLI::Validator position_check();

/// --start, --end, --every and --max-frames, as run.json records them.
using RangeArgs = kelvo::RunRange;
void add_range_options(CLI::App& app, RangeArgs& args);

/// --backend, --variant and --set.
struct BackendArgs {
    std::string backend;
    std::string variant;
    std::vector<std::string> settings;
};
void add_backend_options(CLI::App& app, BackendArgs& args, bool backend_required,
                         const std::string& backend_default = "");
/// The --set values as (name, integer) pairs, in the order given.
std::vector<std::pair<std::string, int>> parse_controls(const std::vector<std::string>& settings);

}  // namespace kelvo::cli
