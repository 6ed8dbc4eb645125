#include "kelvo/log.hpp"
#include "kelvo/log_routing.hpp"

#include <cxxabi.h>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <typeinfo>
#include <vector>

#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>

namespace kelvo {

namespace {
/// Every channel writes to one router sink for its whole life; set_log_sinks
/// swaps the router's targets under the router's own lock, so a channel
/// logging on another thread never sees its sink list change under it.
struct LogRouting {
    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> router =
        std::make_shared<spdlog::sinks::dist_sink_mt>();
    spdlog::level::level_enum level = spdlog::level::info;
    std::vector<std::shared_ptr<spdlog::logger>> loggers;
};

std::vector<spdlog::sink_ptr> stderr_sinks() {
    auto sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
    sink->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
    return {sink};
}

// Loggers live for the whole process: a pump thread left running after a
// timed-out close() may still log while static destructors run at exit.
LogRouting& routing() {
    static auto* r = [] {
        auto* routing = new LogRouting();
        routing->router->set_sinks(stderr_sinks());
        return routing;
    }();
    return *r;
}
}  // namespace

std::shared_ptr<spdlog::logger> get_logger(const std::string& channel) {
    auto& r = routing();
    std::lock_guard lock(r.mutex);
    if (auto existing = spdlog::get(channel)) return existing;
    auto logger = std::make_shared<spdlog::logger>(channel, r.router);
    logger->set_level(r.level);
    spdlog::register_logger(logger);
    r.loggers.push_back(logger);
    return logger;
}

void set_log_sinks(std::vector<spdlog::sink_ptr> sinks, spdlog::level::level_enum level) {
    auto& r = routing();
    std::lock_guard lock(r.mutex);
    r.level = sinks.empty() ? spdlog::level::info : level;
    r.router->set_sinks(sinks.empty() ? stderr_sinks() : std::move(sinks));
    for (const auto& logger : r.loggers) logger->set_level(r.level);  // atomic in spdlog
}

std::string repr(std::string_view text) {
    // Python picks double quotes when the text holds a single quote and no double one.
    const bool use_double =
        text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos;
    const char quote = use_double ? '"' : '\'';
    std::string out(1, quote);
    for (char c : text) {
        if (c == '\\' || c == quote) out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    out += quote;
    return out;
}

std::string repr(double value) {
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e16) {
        return fmt::format("{:.1f}", value);
    }
    return fmt::format("{}", value);
}

std::string repr(long long value) {
    return std::to_string(value);
}

std::string describe_exception(const std::exception_ptr& error) {
    if (!error) return "(no exception)";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return detail::demangled_name(typeid(e)) + ": " + e.what();
    } catch (...) {
        return "unknown exception";
    }
}

namespace detail {
std::string demangled_name(const std::type_info& type) {
    int status = 0;
    char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string out = status == 0 && name ? name : type.name();
    std::free(name);
    return out;
}

std::string printf_format(std::string_view format) {
    std::string out(format);
    for (std::size_t pos = out.find("%r"); pos != std::string::npos; pos = out.find("%r", pos)) {
        if (pos > 0 && out[pos - 1] == '%') {
            pos += 2;
            continue;
        }
        out[pos + 1] = 's';
    }
    return out;
}
}  // namespace detail

void log_exception(spdlog::logger& logger, const std::string& message,
                   const std::exception_ptr& error) {
    logger.error("{}\n{}", message, describe_exception(error));
}

}  // namespace kelvo
