#include "kelvo/log.hpp"

#include <cxxabi.h>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <typeinfo>
#include <vector>

#include <spdlog/sinks/stdout_color_sinks.h>

namespace kelvo {

std::shared_ptr<spdlog::logger> get_logger(const std::string& channel) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (auto existing = spdlog::get(channel)) return existing;
    auto logger = std::make_shared<spdlog::logger>(
        channel, std::make_shared<spdlog::sinks::stderr_color_sink_mt>());
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
    logger->set_level(spdlog::level::info);
    spdlog::register_logger(logger);
    // Loggers live for the whole process: a pump thread left running after a
    // timed-out close() may still log while static destructors run at exit.
    static auto* immortal = new std::vector<std::shared_ptr<spdlog::logger>>();
    immortal->push_back(logger);
    return logger;
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
