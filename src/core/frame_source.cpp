#include "kelvo/sources/base.hpp"

#include <algorithm>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/image_header.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"

namespace kelvo {
namespace {

/// Frames of a stream whose size is not known are at most this large (two
/// 4096x2048 eyes side by side).
constexpr long long MAX_UNSIZED_PIXELS = 8192LL * 2048;

}  // namespace

FrameSource::~FrameSource() {
    _fanout->clear();
}

void FrameSource::add_fanout(FrameCallbackPtr cb) {
    _fanout->add(std::move(cb));
}

void FrameSource::remove_fanout(const FrameCallbackPtr& cb) {
    _fanout->remove(cb);
}

std::pair<std::int64_t, std::int64_t> FrameSource::get_pump_stats() {
    return {1, 0};
}

std::string FrameSource::fourcc() const {
    return "MJPG";
}

void FrameSource::_dispatch_fanout(const FramePtr& frame, spdlog::logger& logger) const {
    _fanout->dispatch(frame, logger);
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
    // The size is read from the header first: a frame that is not the
    // stream's size (a hostile 16384x16384 image in a small file) or is cut
    // off is refused before the decoder allocates or invents pixels.
    const auto header = detail::read_image_header(payload);
    if (!header) {
        throw RuntimeError(
            fmt::format("cannot decode {} payload of {} bytes: not a JPEG or PNG image",
                        std::string(fourcc), payload.size()));
    }
    if (!header->complete) {
        throw RuntimeError(
            fmt::format("cannot decode {} payload of {} bytes: the {} image is cut off",
                        std::string(fourcc), payload.size(), header->format));
    }
    const bool size_known = width > 0 && height > 0;
    if (size_known && (header->width != width || header->height != height)) {
        throw RuntimeError(fmt::format(
            "cannot decode {} payload: a {}x{} {} image in a {}x{} stream", std::string(fourcc),
            header->width, header->height, header->format, width, height));
    }
    if (!size_known &&
        static_cast<long long>(header->width) * header->height > MAX_UNSIZED_PIXELS) {
        throw RuntimeError(
            fmt::format("cannot decode {} payload: a {}x{} {} image is larger than a camera frame",
                        std::string(fourcc), header->width, header->height, header->format));
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
