#include "support/log_capture.hpp"

#include <algorithm>

#include "kelvo/log.hpp"

namespace kelvo::testing {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<LogRecord> snapshot() {
        std::lock_guard lock(this->mutex_);
        return _records;
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        _records.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

  private:
    std::vector<LogRecord> _records;
};

LogCapture::LogCapture(const std::string& channel)
    : _logger(get_logger(channel)), _sink(std::make_shared<Sink>()), _old_level(_logger->level()) {
    _logger->sinks().push_back(_sink);
    _logger->set_level(spdlog::level::debug);
}

LogCapture::~LogCapture() {
    auto& sinks = _logger->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), _sink), sinks.end());
    _logger->set_level(_old_level);
}

std::vector<LogRecord> LogCapture::records() const {
    return _sink->snapshot();
}

std::size_t LogCapture::count(const std::string& prefix, int level) const {
    std::size_t n = 0;
    for (const auto& r : records()) {
        if (r.text.rfind(prefix, 0) == 0 && (level < 0 || r.level == level)) ++n;
    }
    return n;
}

}  // namespace kelvo::testing
