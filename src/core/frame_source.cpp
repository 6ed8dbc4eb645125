#include "kelvo/sources/base.hpp"

#include <algorithm>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo {

FrameSource::~FrameSource() = default;

void FrameSource::add_fanout(FrameCallbackPtr cb) {
    std::lock_guard lock(_fanout_lock);
    _fanout.push_back(std::move(cb));
}

void FrameSource::remove_fanout(const FrameCallbackPtr& cb) {
    std::lock_guard lock(_fanout_lock);
    auto it = std::find(_fanout.begin(), _fanout.end(), cb);
    if (it != _fanout.end()) _fanout.erase(it);
}

std::pair<std::int64_t, std::int64_t> FrameSource::get_pump_stats() {
    return {1, 0};
}

std::string FrameSource::fourcc() const {
    return "MJPG";
}

void FrameSource::_dispatch_fanout(const FramePtr& frame, spdlog::logger& logger) {
    std::vector<FrameCallbackPtr> callbacks;
    {
        std::lock_guard lock(_fanout_lock);
        callbacks = _fanout;
    }
    _call_fanout(callbacks, frame, logger);
}

void FrameSource::_call_fanout(const std::vector<FrameCallbackPtr>& callbacks,
                               const FramePtr& frame, spdlog::logger& logger) {
    for (const auto& cb : callbacks) {
        try {
            (*cb)(frame);
        } catch (...) {
            log_exception(logger, "fanout callback raised (non-fatal)");
        }
    }
}

cv::Mat FrameSource::decode_to_bgr(std::span<const std::uint8_t> payload, int width,
                                   int height) const {
    return kelvo::decode_to_bgr(fourcc(), payload, width, height);
}

cv::Mat decode_to_bgr(std::string_view fourcc, std::span<const std::uint8_t> payload, int width,
                      int height) {
    if (payload.empty()) throw RuntimeError("cannot decode an empty frame payload");
    if (fourcc == "YUYV") {
        const std::size_t needed = static_cast<std::size_t>(width) * height * 2;
        if (width <= 0 || height <= 0 || width % 2 != 0) {
            throw RuntimeError(
                fmt::format("cannot decode YUYV payload: bad frame size {}x{}", width, height));
        }
        if (payload.size() < needed) {
            throw RuntimeError(
                fmt::format("cannot decode YUYV payload: {} bytes, a {}x{} frame needs {}",
                            payload.size(), width, height, needed));
        }
        const cv::Mat yuyv(height, width, CV_8UC2, const_cast<std::uint8_t*>(payload.data()));
        cv::Mat bgr;
        cv::cvtColor(yuyv, bgr, cv::COLOR_YUV2BGR_YUYV);
        return bgr;
    }
    const cv::Mat encoded(1, static_cast<int>(payload.size()), CV_8UC1,
                          const_cast<std::uint8_t*>(payload.data()));
    cv::Mat bgr = cv::imdecode(encoded, cv::IMREAD_COLOR);
    if (bgr.empty()) {
        throw RuntimeError(fmt::format("cannot decode {} payload of {} bytes as an image",
                                       std::string(fourcc), payload.size()));
    }
    return bgr;
}

}  // namespace kelvo
