// Captures the records of one log channel for assertions.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace kelvo::testing {

struct LogRecord {
    spdlog::level::level_enum level;
    std::string text;
};

class LogCapture {
  public:
    /// Attaches to `channel` (and lowers its level to debug) until destroyed.
    explicit LogCapture(const std::string& channel);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    /// Records whose text starts with `prefix` (at `level` when given).
    std::size_t count(const std::string& prefix, int level = -1) const;
    bool contains(const std::string& prefix, int level = -1) const {
        return count(prefix, level) > 0;
    }
    /// Every record's text, one a line (for substring checks and failure messages).
    std::string text() const {
        std::string out;
        for (const auto& r : records()) out += r.text + "\n";
        return out;
    }

  private:
    class Sink;
    std::shared_ptr<spdlog::logger> _logger;
    std::shared_ptr<Sink> _sink;
    spdlog::level::level_enum _old_level;
};

}  // namespace kelvo::testing
