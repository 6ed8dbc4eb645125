#include "kelvo/sources/base.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

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

/// Packed YUYV's luma (video range, 16 to 235) stretched to full range: the
/// grey of its BGR conversion, as the chroma terms cancel in the grey.
const std::array<std::uint8_t, 256>& video_to_full_range() {
    static const std::array<std::uint8_t, 256> lut = [] {
        std::array<std::uint8_t, 256> t{};
        for (int y = 0; y < 256; ++y) {
            t[static_cast<std::size_t>(y)] =
                cv::saturate_cast<std::uint8_t>((y - 16) * 255.0 / 219.0);
        }
        return t;
    }();
    return lut;
}

cv::Mat decode(std::string_view fourcc, std::span<const std::uint8_t> payload, int width,
               int height, bool colour, int reduction) {
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
        if (colour) {
            cv::Mat bgr;
            cv::cvtColor(yuyv, bgr, cv::COLOR_YUV2BGR_YUYV);
            return bgr;
        }
        // The Y plane is every other byte; no colour is computed.
        const auto& lut = video_to_full_range();
        cv::Mat grey(height, width, CV_8UC1);
        for (int r = 0; r < height; ++r) {
            const std::uint8_t* in = yuyv.ptr<std::uint8_t>(r);
            std::uint8_t* out = grey.ptr<std::uint8_t>(r);
            for (int c = 0; c < width; ++c) out[c] = lut[in[2 * c]];
        }
        return grey;
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
    // A grey decode of a JPEG is its luminance, without colour conversion;
    // a reduced one is libjpeg's scaled decoding.
    int flags = colour ? cv::IMREAD_COLOR : cv::IMREAD_GRAYSCALE;
    if (!colour && reduction == 2) flags = cv::IMREAD_REDUCED_GRAYSCALE_2;
    if (!colour && reduction == 4) flags = cv::IMREAD_REDUCED_GRAYSCALE_4;
    if (!colour && reduction == 8) flags = cv::IMREAD_REDUCED_GRAYSCALE_8;
    cv::Mat image = cv::imdecode(encoded, flags);
    if (image.empty()) {
        throw RuntimeError(fmt::format("cannot decode {} payload of {} bytes as an image",
                                       std::string(fourcc), payload.size()));
    }
    return image;
}

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

cv::Mat FrameSource::decode_to_grey(std::span<const std::uint8_t> payload, int width, int height,
                                    int reduction) const {
    return kelvo::decode_to_grey(fourcc(), payload, width, height, reduction);
}

cv::Mat decode_to_bgr(std::string_view fourcc, std::span<const std::uint8_t> payload, int width,
                      int height) {
    return decode(fourcc, payload, width, height, /*colour=*/true, 1);
}

cv::Mat decode_to_grey(std::string_view fourcc, std::span<const std::uint8_t> payload, int width,
                       int height, int reduction) {
    if (reduction != 1 && reduction != 2 && reduction != 4 && reduction != 8) {
        throw std::invalid_argument(
            fmt::format("decode reduction must be 1, 2, 4 or 8; got {}", reduction));
    }
    if (fourcc == "YUYV") reduction = 1;
    return decode(fourcc, payload, width, height, /*colour=*/false, reduction);
}

}  // namespace kelvo
