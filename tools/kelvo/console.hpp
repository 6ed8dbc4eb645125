// Standard error as the command's console: the kit's log channels, with
// repeated messages folded, and a progress line that log messages never
// tear. Standard output is left to results (tables, JSON, summaries).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvo::cli {

struct ConsoleOptions {
    bool quiet = false;     ///< no progress line, no log message below error
    std::string log_level;  ///< trace|debug|info|warning|error|off; empty: info (error with quiet)
};

/// Routes every log channel of the kit through the console at the chosen
/// level. Channels created later by the kit are routed too, as they are
/// created before the first frame is processed; call again after starting
/// work that may create new ones. UsageError for an unknown level.
void setup_console(const ConsoleOptions& options);
/// Routes channels created since the last call.
void route_new_log_channels();
/// Prints, once, how often each folded message repeated after its first
/// appearance. Called when the command ends.
void report_folded_messages();
/// True when the command was asked to be quiet.
bool console_quiet();
/// Prints a line on standard error (above the progress line); suppressed by --quiet.
void note(const std::string& line);

/// Progress of a batch run on standard error, redrawn in place on a terminal
/// (nothing is drawn elsewhere or with --quiet): a bar sized to the
/// terminal's width, frames done, rate and time left.
class Progress {
  public:
    /// `total` 0: unknown (no bar, no time left).
    explicit Progress(std::int64_t total);
    ~Progress();  ///< ends the line
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void update(std::int64_t done);
    void finish();

  private:
    using Clock = std::chrono::steady_clock;
    std::int64_t _total;
    bool _enabled;
    bool _finished = false;
    Clock::time_point _t0 = Clock::now();
    Clock::time_point _last_draw{};
};

/// "1:05" or "1:02:03".
std::string format_duration(double seconds);

}  // namespace kelvo::cli
