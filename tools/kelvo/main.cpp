// Entry point of the `kelvo` command: parses the command line with CLI11
// (every subcommand's options typed and checked, with `-h`/`--help` and
// `kelvo help CMD`), sets up the console and maps the outcome to the exit
// status: 0 done, 1 failed, 2 usage error, 130 interrupted.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <memory>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "console.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/sources/base.hpp"
#include "options.hpp"

namespace kelvo::cli {

std::optional<long long> parse_integer(std::string_view text) {
    long long out = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return out;
}

std::optional<double> parse_number(std::string_view text) {
    try {
        const std::string owned(text);
        std::size_t used = 0;
        const double out = std::stod(owned, &used);
        if (used != owned.size()) return std::nullopt;
        return out;
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

std::pair<std::string, std::string> split_setting(const std::string& text,
                                                  std::string_view option) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
        throw UsageError(fmt::format("{} expects NAME=VALUE; got '{}'", option, text));
    }
    return {text.substr(0, eq), text.substr(eq + 1)};
}

Json control_values(FrameSource& source) {
    Json values = Json::object();
    for (const auto& control : source.list_camera_controls()) {
        if (control.current_value) values[control.name] = *control.current_value;
    }
    return values;
}

const char* version() {
    return KELVO_VERSION;
}

namespace {

std::vector<Command>& command_table() {
    static std::vector<Command> table;
    return table;
}

struct Parsed {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

}  // namespace

bool register_command(Command command) {
    command_table().push_back(std::move(command));
    return true;
}

const std::vector<Command>& commands() {
    return command_table();
}

}  // namespace kelvo::cli

int main(int argc, char** argv) {
    using namespace kelvo::cli;
    CLI::App app("kelvo: recordings, replay, depth maps and cameras of the Kelvo stereo kit",
                 "kelvo");
    auto formatter = std::make_shared<CLI::Formatter>();
    formatter->column_width(34);
    app.formatter(formatter);
    app.set_help_flag("-h,--help", "print this help and exit");
    app.add_flag_callback(
        "--version",
        [] {
            std::printf("kelvo %s\n", version());
            throw CLI::Success();
        },
        "print the kit's version and exit");
    app.require_subcommand(0, 1);
    app.footer("Run `kelvo help CMD` or `kelvo CMD --help` for a command's options.\n");

    ConsoleOptions console;
    std::vector<Parsed> parsed;
    for (const auto& command : commands()) {
        CLI::App* sub = app.add_subcommand(command.name, command.summary);
        sub->set_help_flag("-h,--help", "print this help and exit");
        Parsed p;
        p.app = sub;
        p.run = command.setup(*sub);
        sub->add_flag("--quiet", console.quiet,
                      "no progress line and no log message below error level");
        sub->add_option("--log-level", console.log_level,
                        "log messages from LEVEL up: trace, debug, info, warning, error or off "
                        "(default: info; error with --quiet)")
            ->type_name("LEVEL")
            ->check(one_of({"trace", "debug", "info", "warning", "error", "off"}));
        parsed.push_back(std::move(p));
    }
    std::string help_topic;
    CLI::App* help = app.add_subcommand("help", "describe a command and all its options");
    help->add_option("CMD", help_topic, "the command");

    if (argc < 2) {
        std::cerr << app.help();
        return EXIT_USAGE;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        CLI::App* shown = &app;
        for (const auto& p : parsed) {
            if (p.app->parsed()) shown = p.app;
        }
        std::cout << shown->help();
        return 0;
    } catch (const CLI::Success&) {
        return 0;  // --version
    } catch (const CLI::ParseError& e) {
        std::string where = "kelvo";
        for (const auto& p : parsed) {
            if (p.app->parsed()) where = "kelvo " + p.app->get_name();
        }
        std::cerr << where << ": " << e.what() << "\n(see `" << where << " --help`)\n";
        return EXIT_USAGE;
    }

    if (help->parsed()) {
        if (help_topic.empty()) {
            std::cout << app.help();
            return 0;
        }
        for (const auto& p : parsed) {
            if (p.app->get_name() == help_topic) {
                std::cout << p.app->help();
                return 0;
            }
        }
        std::cerr << "kelvo help: unknown command '" << help_topic << "'\n" << app.help();
        return EXIT_USAGE;
    }
    for (const auto& p : parsed) {
        if (!p.app->parsed()) continue;
        const std::string name = p.app->get_name();
        int status = EXIT_FAILED;
        try {
            setup_console(console);
            status = p.run();
        } catch (const UsageError& e) {
            std::fprintf(stderr, "kelvo %s: %s\n(see `kelvo %s --help`)\n", name.c_str(), e.what(),
                         name.c_str());
            status = EXIT_USAGE;
        } catch (const ExitError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            status = e.status;
        } catch (const kelvo::OutputRefused& e) {
            std::fprintf(stderr, "%s\n", e.what());
            status = EXIT_FAILED;
        } catch (const std::invalid_argument& e) {
            // Bad option values found by the kit (unknown back-end, control out of range).
            std::fprintf(stderr, "kelvo %s: %s\n(see `kelvo %s --help`)\n", name.c_str(), e.what(),
                         name.c_str());
            status = EXIT_USAGE;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvo %s: error: %s\n", name.c_str(), e.what());
            status = EXIT_FAILED;
        }
        report_folded_messages();
        return status;
    }
    std::cerr << app.help();
    return EXIT_USAGE;
}
