// The camera test double: a platform back-end that opens whatever FFmpeg
// input a test names (a file, the lavfi test pattern, a pipe) in place of a
// camera device, and a control handle that records what it is told. Shared by
// the C++ tests and the Python module's test-only hook, so both drive
// LiveCapture through the same double.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kelvo/errors.hpp"
#include "kelvo/platform.hpp"

namespace kelvo::testing {

/// What the test control handle saw, kept after the source releases it.
struct ControlLog {
    std::mutex mutex;
    std::vector<std::pair<std::string, double>> sets;
    std::map<std::string, double> values;
    std::set<std::string> failing_get, failing_set;
    int closes = 0;
};

class FakeControls final : public CameraControls {
  public:
    explicit FakeControls(std::shared_ptr<ControlLog> log) : _log(std::move(log)) {}
    double get(const std::string& name) override {
        std::lock_guard lock(_log->mutex);
        if (_log->failing_get.count(name)) throw RuntimeError("read failed: " + name);
        return _log->values.at(name);
    }
    void set(const std::string& name, double value) override {
        std::lock_guard lock(_log->mutex);
        if (_log->failing_set.count(name)) throw RuntimeError("write failed: " + name);
        _log->sets.emplace_back(name, value);
        _log->values[name] = value;
    }
    void close() override {
        std::lock_guard lock(_log->mutex);
        ++_log->closes;
        throw RuntimeError("closing fails too");  // close() must swallow it
    }

  private:
    std::shared_ptr<ControlLog> _log;
};

/// A host-installed back-end: opens whatever FFmpeg input the test names and
/// keeps the Linux back-end's fourcc detection and payload trimming.
class TestBackend final : public V4l2Backend {
  public:
    AvOpenArgs args;
    std::optional<std::string> forced_fourcc;
    std::function<std::unique_ptr<CameraControls>(const std::string&, const std::string&)> controls;
    std::function<void()> on_trim;          ///< runs on the pump thread for every packet
    std::function<void()> on_detect;        ///< runs in detect_fourcc (may raise)
    std::function<void()> on_clock_domain;  ///< runs in clock_domain (may raise)

    mutable std::mutex mutex;
    mutable std::vector<std::pair<std::string, std::string>> opened;  ///< (os_id, mode slug)
    mutable std::optional<StreamCodecParameters> codec_seen;
    mutable std::optional<std::string> requested_seen;
    mutable std::vector<std::string> control_requests;  ///< "os_id|serial"

    AvOpenArgs av_open_args(const std::string& os_id, const CaptureMode& m) const override {
        std::lock_guard lock(mutex);
        opened.emplace_back(os_id, m.slug());
        return args;
    }
    std::string detect_fourcc(const std::string& requested,
                              const StreamCodecParameters& codec) const override {
        std::lock_guard lock(mutex);
        codec_seen = codec;
        requested_seen = requested;
        if (on_detect) on_detect();
        return forced_fourcc ? *forced_fourcc : V4l2Backend::detect_fourcc(requested, codec);
    }
    std::unique_ptr<CameraControls> open_controls(const std::string& os_id,
                                                  const std::string& serial) override {
        {
            std::lock_guard lock(mutex);
            control_requests.push_back(os_id + "|" + serial);
        }
        if (!controls) throw RuntimeError("this unit has no control interface");
        return controls(os_id, serial);
    }
    std::vector<std::uint8_t> trim_payload(std::vector<std::uint8_t> data, int width,
                                           int height) const override {
        if (on_trim) on_trim();
        return V4l2Backend::trim_payload(std::move(data), width, height);
    }
    std::string clock_domain() const override {
        if (on_clock_domain) on_clock_domain();
        return "test_clock";
    }
};

}  // namespace kelvo::testing
