// The `kelvo` command: subcommands register themselves with a name, a
// summary and a set-up function that declares their options on a CLI11
// sub-application and returns the function that runs the command once the
// options are parsed. Parsing, help and exit statuses live in main.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kelvo/json.hpp"

namespace CLI {
class App;
}

namespace kelvo {
class FrameSource;
struct ModelFile;
}  // namespace kelvo

namespace kelvo::cli {

/// Exit statuses: 0 done, 1 failed, 2 usage error, 130 interrupted.
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_INTERRUPTED = 130;

/// A usage error: printed with a pointer to the command's help, exit status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// An error that exits with a given status after printing its message.
struct ExitError : std::runtime_error {
    ExitError(int status_, const std::string& message)
        : std::runtime_error(message), status(status_) {}
    int status;
};

struct Command {
    std::string name;
    std::string summary;
    /// Declares the command's options on `app` and returns the function that
    /// runs the command with the values parsed into them.
    std::function<std::function<int()>(CLI::App& app)> setup;
};

/// Adds a subcommand; called from static registrars in the command files.
bool register_command(Command command);
const std::vector<Command>& commands();

/// The whole text as a decimal integer, or nothing.
std::optional<long long> parse_integer(std::string_view text);
/// The whole text as a floating-point number, or nothing.
std::optional<double> parse_number(std::string_view text);

/// "NAME=VALUE" split at the first '='; UsageError naming `option` otherwise.
std::pair<std::string, std::string> split_setting(const std::string& text, std::string_view option);

/// The current control values of a source, by name (only controls that have one).
Json control_values(FrameSource& source);

/// True when the model file (or its extracted archive member) is in the cache folder.
bool model_file_present(const ModelFile& file);

/// The kit's version, as `kelvo --version` prints it.
const char* version();

}  // namespace kelvo::cli
