// Named log channels. Messages are printf-style formats filled by the logger;
// "%r" takes a quoted representation made with `repr()`.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

#include <fmt/printf.h>
#include <spdlog/spdlog.h>

#include "kelvo/export.hpp"

namespace kelvo {

/// The logger of one channel ("kelvo_camera_sdk.mkv_replay", ...); created on first use.
KELVO_API std::shared_ptr<spdlog::logger> get_logger(const std::string& channel);

/// Python-style quoted representation: 'name', with quotes and backslashes escaped.
KELVO_API std::string repr(std::string_view text);
KELVO_API std::string repr(double value);
KELVO_API std::string repr(long long value);
inline std::string repr(int value) {
    return repr(static_cast<long long>(value));
}

/// Type name and message of an exception, for "logged with stack trace" records.
KELVO_API std::string describe_exception(const std::exception_ptr& error);

namespace detail {
/// The readable (demangled) name of a type, or its raw name when that fails.
KELVO_API std::string demangled_name(const std::type_info& type);
KELVO_API std::string printf_format(std::string_view format);
}  // namespace detail

/// Logs a printf-style message ("%r" is rendered like "%s"; pass `repr(x)` for it).
template <typename... Args>
void log_printf(spdlog::logger& logger, spdlog::level::level_enum level, std::string_view format,
                const Args&... args) {
    if (!logger.should_log(level)) return;
    logger.log(level, fmt::sprintf(detail::printf_format(format), args...));
}

/// Logs `message` at error level with the exception being handled (type and text).
KELVO_API void log_exception(spdlog::logger& logger, const std::string& message,
                             const std::exception_ptr& error = std::current_exception());

}  // namespace kelvo
