#include "options.hpp"

#include <stdexcept>

#include <fmt/format.h>

#include "cli.hpp"

namespace kelvo::cli {

CLI::Validator at_least(long long minimum) {
    return CLI::Validator(
        [minimum](std::string& text) -> std::string {
            const auto value = parse_integer(text);
            if (!value) return fmt::format("expects an integer; got '{}'", text);
            if (*value < minimum) return fmt::format("must be {} or more; got {}", minimum, *value);
            return {};
        },
        "");
}

CLI::Validator not_zero() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const auto value = parse_integer(text);
            if (!value) return fmt::format("expects an integer; got '{}'", text);
            if (*value == 0) return "must not be 0";
            return {};
        },
        "");
}

CLI::Validator one_of(std::vector<std::string> values) {
    return CLI::Validator(
        [values](std::string& text) -> std::string {
            for (const auto& v : values) {
                if (v == text) return {};
            }
            return fmt::format("must be one of {}; got '{}'", fmt::join(values, ", "), text);
        },
        "");
}

Position parse_position(const std::string& text, std::string_view option) {
    try {
        return kelvo::parse_position(text, option);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
}

CLI::Validator position_check() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            try {
                parse_position(text, "the value");
            } catch (const UsageError& e) {
                return e.what();
            }
            return {};
        },
        "");
}

void add_range_options(CLI::App& app, RangeArgs& args) {
    app.add_option("--start", args.start,
                   "first frame: a frame index (120) or a recording time with its unit (2.5s, "
                   "1500ms, 250000us); default: the first frame")
        ->type_name("POS")
        ->check(position_check());
    app.add_option("--end", args.end,
                   "where to stop, not included: a frame index or a recording time as for "
                   "--start; default: the end of the recording")
        ->type_name("POS")
        ->check(position_check());
    app.add_option("--every", args.every, "take every Nth frame of the range (1: all)")
        ->type_name("N")
        ->check(at_least(1))
        ->capture_default_str();
    app.add_option("--max-frames", args.max_frames, "stop after N frames (0: no limit)")
        ->type_name("N")
        ->check(at_least(0))
        ->capture_default_str();
}

void add_backend_options(CLI::App& app, BackendArgs& args, bool backend_required,
                         const std::string& backend_default) {
    auto* backend = app.add_option("--backend", args.backend,
                                   backend_required
                                       ? "registry key of the depth back-end (see `kelvo backends`)"
                                       : "registry key of the depth back-end (see `kelvo "
                                         "backends`); default: " +
                                             backend_default)
                        ->type_name("KEY");
    if (backend_required) backend->required();
    app.add_option("--variant", args.variant,
                   "variant slug of the back-end; default: its first (see `kelvo backends`)")
        ->type_name("SLUG");
    app.add_option("--set", args.settings,
                   "set a runtime control of the back-end to an integer before the first frame; "
                   "repeatable (controls, units and ranges: `kelvo backends`)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
}

std::vector<std::pair<std::string, int>> parse_controls(const std::vector<std::string>& settings) {
    std::vector<std::pair<std::string, int>> out;
    for (const auto& text : settings) {
        const auto [name, value] = split_setting(text, "--set");
        const auto number = parse_integer(value);
        if (!number || *number < std::numeric_limits<int>::min() ||
            *number > std::numeric_limits<int>::max()) {
            throw UsageError("--set " + name + " expects an integer value; got '" + value + "'");
        }
        out.emplace_back(name, static_cast<int>(*number));
    }
    return out;
}

}  // namespace kelvo::cli
