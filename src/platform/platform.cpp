// The back-end in force for the process and the platform-neutral helpers of
// the Linux back-end (payload trimming, fourcc detection, open arguments).
#include <cmath>
#include <cstring>
#include <mutex>

#include <fmt/format.h>

#include "kelvo/platform.hpp"

#include "core/small_util.hpp"

namespace kelvo {

CameraControls::~CameraControls() = default;
PlatformBackend::~PlatformBackend() = default;

namespace {

struct BackendSlot {
    std::mutex mutex;
    std::shared_ptr<PlatformBackend> installed;
    std::shared_ptr<PlatformBackend> native;
};

BackendSlot& backend_slot() {
    static BackendSlot slot;
    return slot;
}

}  // namespace

std::shared_ptr<PlatformBackend> current_backend() {
    auto& slot = backend_slot();
    std::lock_guard lock(slot.mutex);
    if (slot.installed) return slot.installed;
#if defined(__linux__)
    if (!slot.native) slot.native = std::make_shared<V4l2Backend>();
    return slot.native;
#else
    throw RuntimeError(
        "no built-in camera back-end for this platform; install one with set_current_backend()");
#endif
}

void set_current_backend(std::shared_ptr<PlatformBackend> backend) {
    auto& slot = backend_slot();
    std::lock_guard lock(slot.mutex);
    slot.installed = std::move(backend);
}

V4l2Backend::V4l2Backend(V4l2Paths paths) : _paths(std::move(paths)) {}

AvOpenArgs V4l2Backend::av_open_args(const std::string& os_id, const CaptureMode& mode) const {
    const std::string fourcc = detail::upper(mode.fourcc);
    std::string input_format;
    if (fourcc == "MJPG") {
        input_format = "mjpeg";
    } else if (fourcc == "YUYV") {
        input_format = "yuyv422";
    } else {
        throw std::invalid_argument(fmt::format(
            "capture mode {} has no V4L2 input format for fourcc '{}'", mode.slug(), mode.fourcc));
    }
    AvOpenArgs args;
    args.url = os_id;
    args.input_format = "video4linux2";
    args.options = {
        {"input_format", input_format},
        {"video_size", fmt::format("{}x{}", mode.width, mode.height)},
        {"framerate", detail::frame_rate_text(mode.fps)},
        // Kernel timestamps as they are: CLOCK_MONOTONIC for UVC devices.
        {"timestamps", "default"},
        // AVFMT_FLAG_NONBLOCK (the option table has no name for it): a stalled
        // camera must not pin the pump inside VIDIOC_DQBUF; reads return
        // EAGAIN instead and the pump retries, watching its stop flag.
        {"fflags", "+4"},
    };
    return args;
}

std::string V4l2Backend::detect_fourcc(const std::string& requested,
                                       const StreamCodecParameters& codec) const {
    if (codec.codec_name == "mjpeg") return "MJPG";
    if (codec.codec_name == "rawvideo") {
        if (codec.pixel_format == "yuyv422") return "YUYV";
        if (!codec.pixel_format.empty()) return detail::upper(codec.pixel_format);
    }
    if (codec.codec_tag != 0) {
        std::string tag;
        for (int shift = 0; shift < 32; shift += 8) {
            const char c = static_cast<char>((codec.codec_tag >> shift) & 0xFF);
            if (c < 0x20 || c > 0x7E) {
                tag.clear();
                break;
            }
            tag += c;
        }
        if (!tag.empty()) return detail::upper(tag);
    }
    if (codec.codec_name.empty() || codec.codec_name == "none") return requested;
    return detail::upper(codec.codec_name);
}

std::vector<std::uint8_t> V4l2Backend::trim_payload(std::vector<std::uint8_t> data, int width,
                                                    int height) const {
    // Some cameras report the whole buffer as used: an MJPEG frame is then
    // followed by padding or stale bytes of an older frame, a YUYV frame by
    // bytes past width x height x 2.
    if (auto length = detail::jpeg_image_length(data)) {
        data.resize(*length);
        return data;
    }
    if (width > 0 && height > 0) {
        const std::size_t frame_bytes =
            static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2;
        if (data.size() > frame_bytes) data.resize(frame_bytes);
    }
    return data;
}

namespace detail {

std::optional<std::size_t> jpeg_image_length(std::span<const std::uint8_t> data) {
    const std::size_t size = data.size();
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
    std::size_t pos = 2;
    while (pos < size) {
        if (data[pos] != 0xFF) return std::nullopt;
        while (pos < size && data[pos] == 0xFF) ++pos;  // fill bytes before a marker
        if (pos >= size) return std::nullopt;
        const std::uint8_t marker = data[pos++];
        if (marker == 0xD9) return pos;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
        if (marker == 0x00 || marker == 0xD8) return std::nullopt;
        if (pos + 2 > size) return std::nullopt;
        const std::size_t length = (static_cast<std::size_t>(data[pos]) << 8) | data[pos + 1];
        if (length < 2 || pos + length > size) return std::nullopt;
        pos += length;
        if (marker != 0xDA) continue;
        // Entropy-coded data: 0xFF is followed by 0x00 (stuffing), a restart
        // marker or fill; anything else is the next marker.
        for (;;) {
            const void* hit = std::memchr(data.data() + pos, 0xFF, size - pos);
            if (!hit) return std::nullopt;
            std::size_t q =
                static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data.data());
            while (q + 1 < size && data[q + 1] == 0xFF) ++q;
            if (q + 1 >= size) return std::nullopt;
            const std::uint8_t next = data[q + 1];
            if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
                pos = q + 2;
                continue;
            }
            pos = q;  // a marker: EOI, or another table/scan of a progressive image
            break;
        }
    }
    return std::nullopt;
}

std::string frame_rate_text(double fps) {
    if (!std::isfinite(fps) || fps <= 0) {
        throw std::invalid_argument(fmt::format("bad frame rate {}", fps));
    }
    if (fps == std::floor(fps)) return fmt::format("{}", static_cast<long long>(fps));
    const double ntsc = fps * 1.001;
    if (std::fabs(ntsc - std::round(ntsc)) < 1e-6) {
        return fmt::format("{}/1001", static_cast<long long>(std::round(ntsc * 1000)));
    }
    return fmt::format("{}", fps);
}

}  // namespace detail
}  // namespace kelvo
