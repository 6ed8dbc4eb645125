// The `kelvo` command: subcommands register themselves with a name, their
// options and a handler; the parser refuses anything it does not know.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelvo/json.hpp"

namespace kelvo {
class FrameSource;
}

namespace kelvo::cli {

/// A usage error: printed with the subcommand's usage, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// An error that exits with a given status after printing its message.
struct ExitError : std::runtime_error {
    ExitError(int status_, const std::string& message)
        : std::runtime_error(message), status(status_) {}
    int status;
};

struct Args {
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> values;  ///< option -> every value given
    std::set<std::string> flags;

    bool flag(const std::string& name) const { return flags.count(name) != 0; }
    std::optional<std::string> value(const std::string& name) const;
    std::vector<std::string> all(const std::string& name) const;
    long long integer(const std::string& name, long long fallback) const;
    double number(const std::string& name, double fallback) const;
};

struct Command {
    std::string name;
    std::string usage;  ///< e.g. "catalog [--sku SKU] [--json]"
    std::string summary;
    std::set<std::string> value_options;  ///< options that take a value ("--sku")
    std::set<std::string> flag_options;   ///< options without a value ("--json")
    std::size_t min_positional = 0;
    std::size_t max_positional = 0;
    std::function<int(const Args&)> run;
};

/// Adds a subcommand; called from static registrars in the command files.
bool register_command(Command command);
const std::vector<Command>& commands();

/// The whole text as a decimal integer, or nothing.
std::optional<long long> parse_integer(std::string_view text);
/// The whole text as a floating-point number, or nothing.
std::optional<double> parse_number(std::string_view text);

/// The current control values of a source, by name (only controls that have one).
Json control_values(FrameSource& source);

/// True when standard output is a terminal (progress bars are drawn only then).
bool stdout_is_terminal();

}  // namespace kelvo::cli
