#include "console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include <fmt/format.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "cli.hpp"
#include "kelvo/log.hpp"

namespace kelvo::cli {
namespace {

// Every channel the kit logs on; created up front so that they are routed
// before any kit thread can log on them.
constexpr const char* KIT_CHANNELS[] = {
    "kelvo_camera_sdk.mkv_replay",      "kelvo_camera_sdk.live_capture",
    "kelvo_camera_sdk.openvino_runner", "kelvo_camera_sdk.recording_manager",
    "kelvo_camera_sdk.recorder",        "kelvo_camera_sdk.pipeline",
    "kelvo_camera_sdk.worker",
};

/// Standard error shared by log messages and the progress line. Everything
/// that writes there holds `mutex`.
struct Console {
    std::mutex mutex;
    bool is_terminal = isatty(STDERR_FILENO) != 0;
    bool quiet = false;
    bool progress_shown = false;  ///< a progress line is drawn and not ended

    /// Wipes the progress line so the next text starts at column 0.
    void clear_progress_locked() {
        if (!progress_shown) return;
        std::fputs("\r\033[K", stderr);
        progress_shown = false;
    }
};

Console& console() {
    static Console* instance = new Console();  // outlives threads still logging at exit
    return *instance;
}

/// Digits differ between repeats of one failure (frame numbers, times), so
/// they do not count when messages are compared.
std::string fold_key(std::string_view logger, int level, std::string_view text) {
    std::string key = fmt::format("{}|{}|", logger, level);
    bool in_digits = false;
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        if (digit && in_digits) continue;
        key += digit ? '#' : c;
        in_digits = digit;
    }
    return key;
}

/// Writes each distinct message once and counts its repeats.
class FoldingSink final : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
  public:
    struct Folded {
        std::string level;
        std::string first;
        std::int64_t repeats = 0;
    };

    std::vector<Folded> take_repeats() {
        std::lock_guard lock(console().mutex);
        std::vector<Folded> out;
        for (auto& entry : _entries) {
            if (entry.repeats > 0) out.push_back(entry);
            entry.repeats = 0;
        }
        return out;
    }

  protected:
    // Serialised by the console's mutex (the sink's own mutex is a no-op),
    // which also orders log lines with the progress line.
    void sink_it_(const spdlog::details::log_msg& msg) override {
        const std::string_view text(msg.payload.data(), msg.payload.size());
        const std::string key =
            fold_key(std::string_view(msg.logger_name.data(), msg.logger_name.size()),
                     static_cast<int>(msg.level), text);
        Console& c = console();
        std::lock_guard lock(c.mutex);
        if (const auto it = _index.find(key); it != _index.end()) {
            ++_entries[it->second].repeats;
            return;
        }
        _index.emplace(key, _entries.size());
        const auto level = spdlog::level::to_string_view(msg.level);
        _entries.push_back({std::string(level.data(), level.size()),
                            std::string(text.substr(0, text.find('\n'))), 0});
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        c.clear_progress_locked();
        std::fwrite(formatted.data(), 1, formatted.size(), stderr);
        std::fflush(stderr);
    }
    void flush_() override { std::fflush(stderr); }

  private:
    std::map<std::string, std::size_t> _index;
    std::vector<Folded> _entries;
};

struct Routing {
    std::shared_ptr<FoldingSink> sink = std::make_shared<FoldingSink>();
    spdlog::level::level_enum level = spdlog::level::info;
};

Routing& routing() {
    static Routing* instance = new Routing();  // loggers keep using it until exit
    return *instance;
}

void route(const std::shared_ptr<spdlog::logger>& logger) {
    auto& r = routing();
    auto& sinks = logger->sinks();
    if (sinks.size() != 1 || sinks.front() != r.sink) {
        sinks.clear();
        sinks.push_back(r.sink);
    }
    logger->set_level(r.level);
}

spdlog::level::level_enum parse_level(const std::string& text) {
    static const std::map<std::string, spdlog::level::level_enum> LEVELS = {
        {"trace", spdlog::level::trace}, {"debug", spdlog::level::debug},
        {"info", spdlog::level::info},   {"warning", spdlog::level::warn},
        {"error", spdlog::level::err},   {"off", spdlog::level::off},
    };
    const auto it = LEVELS.find(text);
    if (it == LEVELS.end()) {
        throw UsageError(
            "--log-level must be one of trace, debug, info, warning, error, off; got '" + text +
            "'");
    }
    return it->second;
}

int terminal_columns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        if (const auto n = parse_integer(columns); n && *n > 0 && *n < 10000) {
            return static_cast<int>(*n);
        }
    }
    return 80;
}

}  // namespace

void setup_console(const ConsoleOptions& options) {
    auto& r = routing();
    console().quiet = options.quiet;
    if (!options.log_level.empty()) {
        r.level = parse_level(options.log_level);
    } else {
        r.level = options.quiet ? spdlog::level::err : spdlog::level::info;
    }
    r.sink->set_formatter(
        std::make_unique<spdlog::pattern_formatter>("%Y-%m-%d %H:%M:%S.%e %l [%n] %v"));
    for (const char* channel : KIT_CHANNELS) route(get_logger(channel));
    route_new_log_channels();
}

void route_new_log_channels() {
    spdlog::apply_all([](const std::shared_ptr<spdlog::logger>& logger) { route(logger); });
}

void report_folded_messages() {
    for (const auto& folded : routing().sink->take_repeats()) {
        std::string first = folded.first;
        if (first.size() > 160) {
            first.resize(157);
            first.append("...");
        }
        std::lock_guard lock(console().mutex);
        console().clear_progress_locked();
        fmt::print(stderr, "kelvo: the {} \"{}\" repeated {} more time{}\n", folded.level, first,
                   folded.repeats, folded.repeats == 1 ? "" : "s");
    }
}

bool console_quiet() {
    return console().quiet;
}

void note(const std::string& line) {
    Console& c = console();
    if (c.quiet) return;
    std::lock_guard lock(c.mutex);
    c.clear_progress_locked();
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string format_duration(double seconds) {
    const auto total = static_cast<long long>(std::max(0.0, std::round(seconds)));
    if (total >= 3600) {
        return fmt::format("{}:{:02d}:{:02d}", total / 3600, (total / 60) % 60, total % 60);
    }
    return fmt::format("{}:{:02d}", total / 60, total % 60);
}

Progress::Progress(std::int64_t total)
    : _total(total), _enabled(console().is_terminal && !console().quiet) {}

Progress::~Progress() {
    finish();
}

void Progress::update(std::int64_t done) {
    if (!_enabled || _finished) return;
    const auto now = Clock::now();
    if (done != _total && now - _last_draw < std::chrono::milliseconds(100)) return;
    _last_draw = now;
    const double seconds = std::chrono::duration<double>(now - _t0).count();
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0.0;
    std::string text;
    if (_total > 0) {
        text = fmt::format("{}/{} frames  {:.1f} fps", done, _total, rate);
        if (rate > 0 && done < _total) {
            text += "  ETA " + format_duration(static_cast<double>(_total - done) / rate);
        }
    } else {
        text = fmt::format("{} frames  {:.1f} fps", done, rate);
    }
    const int columns = terminal_columns();
    std::string line;
    const int bar = columns - static_cast<int>(text.size()) - 4;
    if (_total > 0 && bar >= 10) {
        const int filled = static_cast<int>(std::floor(
            bar * std::min(1.0, static_cast<double>(done) / static_cast<double>(_total))));
        line = "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "] " + text;
    } else {
        line = text;
    }
    // The last column stays free: writing into it wraps some terminals.
    if (static_cast<int>(line.size()) > columns - 1) line.resize(std::max(0, columns - 1));
    Console& c = console();
    std::lock_guard lock(c.mutex);
    std::fprintf(stderr, "\r%s\033[K", line.c_str());
    std::fflush(stderr);
    c.progress_shown = true;
}

void Progress::finish() {
    if (!_enabled || _finished) return;
    _finished = true;
    Console& c = console();
    std::lock_guard lock(c.mutex);
    if (c.progress_shown) {
        std::fputs("\n", stderr);
        c.progress_shown = false;
    }
}

}  // namespace kelvo::cli
