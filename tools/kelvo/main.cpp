// Entry point of the `kelvo` command.
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>

#include "cli.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo::cli {

std::optional<std::string> Args::value(const std::string& name) const {
    auto it = values.find(name);
    if (it == values.end() || it->second.empty()) return std::nullopt;
    return it->second.back();
}

std::vector<std::string> Args::all(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::vector<std::string>{} : it->second;
}

std::optional<long long> parse_integer(std::string_view text) {
    long long out = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
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

Json control_values(FrameSource& source) {
    Json values = Json::object();
    for (const auto& control : source.list_camera_controls()) {
        if (control.current_value) values[control.name] = *control.current_value;
    }
    return values;
}

long long Args::integer(const std::string& name, long long fallback) const {
    auto text = value(name);
    if (!text) return fallback;
    const auto out = parse_integer(*text);
    if (!out) throw UsageError(name + " expects an integer; got '" + *text + "'");
    return *out;
}

double Args::number(const std::string& name, double fallback) const {
    auto text = value(name);
    if (!text) return fallback;
    const auto out = parse_number(*text);
    if (!out) throw UsageError(name + " expects a number; got '" + *text + "'");
    return *out;
}

namespace {
std::vector<Command>& command_table() {
    static std::vector<Command> table;
    return table;
}

Args parse(const Command& command, int argc, char** argv) {
    Args args;
    for (int i = 0; i < argc; ++i) {
        std::string word = argv[i];
        if (word.rfind("--", 0) == 0 && word.size() > 2) {
            std::string inline_value;
            bool has_inline = false;
            if (auto eq = word.find('='); eq != std::string::npos) {
                inline_value = word.substr(eq + 1);
                word = word.substr(0, eq);
                has_inline = true;
            }
            if (command.value_options.count(word)) {
                if (!has_inline) {
                    if (i + 1 >= argc) throw UsageError(word + " needs a value");
                    inline_value = argv[++i];
                }
                args.values[word].push_back(inline_value);
            } else if (command.flag_options.count(word) && !has_inline) {
                args.flags.insert(word);
            } else {
                throw UsageError("unknown option " + word);
            }
        } else {
            args.positional.push_back(word);
        }
    }
    if (args.positional.size() < command.min_positional ||
        args.positional.size() > command.max_positional) {
        throw UsageError("wrong number of arguments");
    }
    return args;
}

void print_help(std::FILE* out) {
    std::fprintf(out, "usage: kelvo [--version] <command> [options]\n\ncommands:\n");
    for (const auto& c : command_table()) {
        std::fprintf(out, "  %-60s %s\n", c.usage.c_str(), c.summary.c_str());
    }
}
}  // namespace

bool register_command(Command command) {
    command_table().push_back(std::move(command));
    return true;
}

const std::vector<Command>& commands() {
    return command_table();
}

bool stdout_is_terminal() {
    return isatty(STDOUT_FILENO) != 0;
}

}  // namespace kelvo::cli

int main(int argc, char** argv) {
    using namespace kelvo::cli;
    if (argc < 2) {
        print_help(stderr);
        return 2;
    }
    const std::string first = argv[1];
    if (first == "--version") {
        std::printf("kelvo %s\n", KELVO_VERSION);
        return 0;
    }
    if (first == "--help" || first == "-h" || first == "help") {
        print_help(stdout);
        return 0;
    }
    for (const auto& command : commands()) {
        if (command.name != first) continue;
        try {
            return command.run(parse(command, argc - 2, argv + 2));
        } catch (const UsageError& e) {
            std::fprintf(stderr, "kelvo %s: %s\nusage: kelvo %s\n", first.c_str(), e.what(),
                         command.usage.c_str());
            return 2;
        } catch (const ExitError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return e.status;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kelvo %s: error: %s\n", first.c_str(), e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "kelvo: unknown command '%s'\n", first.c_str());
    print_help(stderr);
    return 2;
}
