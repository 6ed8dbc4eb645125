// A frame source that hands every call to another one, for wrappers that
// change a few of them (a frame range, a scripted order, a gate) and keep the
// rest of the source as it is.
#pragma once

#include <memory>
#include <utility>

#include "kelvo/sources/base.hpp"

namespace kelvo {

class ForwardingSource : public FrameSource {
  public:
    explicit ForwardingSource(std::shared_ptr<FrameSource> inner) : _inner(std::move(inner)) {}

    CameraInfo open() override { return _inner->open(); }
    FramePtr grab(double timeout = 1.0) override { return _inner->grab(timeout); }
    void close() override { _inner->close(); }
    void add_fanout(FrameCallbackPtr cb) override { _inner->add_fanout(std::move(cb)); }
    void remove_fanout(const FrameCallbackPtr& cb) override { _inner->remove_fanout(cb); }
    bool has_pump() const override { return _inner->has_pump(); }
    bool at_end() const override { return _inner->at_end(); }
    std::pair<std::int64_t, std::int64_t> get_pump_stats() override {
        return _inner->get_pump_stats();
    }
    std::vector<CameraControl> list_camera_controls() override {
        return _inner->list_camera_controls();
    }
    bool is_live() const override { return _inner->is_live(); }
    bool is_seekable() const override { return _inner->is_seekable(); }
    std::string fourcc() const override { return _inner->fourcc(); }
    std::optional<std::string> mode_slug() const override { return _inner->mode_slug(); }
    CalibrationPtr base_calibration() const override { return _inner->base_calibration(); }
    CalibrationPtr active_calibration() const override { return _inner->active_calibration(); }
    std::optional<std::int64_t> t0_monotonic_ns() const override {
        return _inner->t0_monotonic_ns();
    }

  protected:
    const std::shared_ptr<FrameSource>& inner() const { return _inner; }

  private:
    std::shared_ptr<FrameSource> _inner;
};

}  // namespace kelvo
