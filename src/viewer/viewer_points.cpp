// The 3-D panel's point frames: the depth on display sampled on a grid as
// wide as the panel, in millimetres, with its colours and the rectified left
// camera, for the browser to turn into points (see ViewerSession::wait_points).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "viewer/viewer_session_state.hpp"

namespace kelvo {
namespace detail {
namespace viewer_points {

constexpr std::size_t HEADER_BYTES = 64;
constexpr float METRES_PER_UNIT = 0.001f;
constexpr std::uint16_t HAS_CONFIDENCE = 1, HAS_DEPTH = 2;
/// The farthest depth a 16-bit millimetre count holds.
constexpr float FARTHEST_M = 65.535f;

template <typename T>
void put(std::string& out, std::size_t at, T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::memcpy(out.data() + at, &value, sizeof value);  // the kit's platforms are little-endian
}

}  // namespace viewer_points

std::string encode_point_frame(const FramePacket& packet, std::uint64_t generation, int width,
                               int threshold) {
    using namespace viewer_points;
    const cv::Mat& depth = packet.depth;
    const bool has_depth = !depth.empty() && packet.calibration;
    const cv::Size size = frame_size(packet);
    const int step = has_depth && width > 0 ? std::max(1, (size.width + width - 1) / width) : 1;
    const int cols = has_depth ? (size.width + step - 1) / step : 0;
    const int rows = has_depth ? (size.height + step - 1) / step : 0;
    const std::size_t n = static_cast<std::size_t>(cols) * static_cast<std::size_t>(rows);

    std::string out(HEADER_BYTES + 5 * n, '\0');
    std::memcpy(out.data(), "KVP1", 4);
    put(out, 4, static_cast<std::uint32_t>(out.size()));
    put(out, 8, static_cast<std::int64_t>(packet.source_frame_idx.value_or(-1)));
    put(out, 16, generation);
    put(out, 24, static_cast<std::uint16_t>(cols));
    put(out, 26, static_cast<std::uint16_t>(rows));
    put(out, 28, static_cast<std::uint16_t>(step));
    const bool has_confidence = !packet.confidence.empty();
    put(out, 30,
        static_cast<std::uint16_t>((has_confidence ? HAS_CONFIDENCE : 0) |
                                   (has_depth ? HAS_DEPTH : 0)));
    put(out, 48, METRES_PER_UNIT);
    if (!has_depth) return out;

    const auto r = packet.calibration->rectification({size.height, size.width});
    put(out, 32, static_cast<float>(r->fx));
    put(out, 36, static_cast<float>(r->fy));
    put(out, 40, static_cast<float>(r->cx));
    put(out, 44, static_cast<float>(r->cy));

    // The colour eye may have been made smaller for display: sampled at the
    // same place of the picture.
    const cv::Mat& bgr = packet.rectified_left;
    const bool coloured = !bgr.empty() && bgr.type() == CV_8UC3;
    const bool trust = threshold > 0 && has_confidence &&
                       packet.confidence.size() == depth.size() &&
                       packet.confidence.type() == CV_8UC1;
    CV_Assert(depth.type() == CV_32FC1);

    auto* units = reinterpret_cast<std::uint16_t*>(out.data() + HEADER_BYTES);
    auto* rgb = reinterpret_cast<std::uint8_t*>(out.data() + HEADER_BYTES + 2 * n);
    float nearest = std::numeric_limits<float>::infinity(), farthest = 0;
    std::uint32_t valid = 0;
    for (int j = 0; j < rows; ++j) {
        const int y = j * step;
        const float* z = depth.ptr<float>(y);
        const std::uint8_t* trusted = trust ? packet.confidence.ptr<std::uint8_t>(y) : nullptr;
        const cv::Vec3b* colour =
            coloured ? bgr.ptr<cv::Vec3b>(std::min(bgr.rows - 1, y * bgr.rows / size.height))
                     : nullptr;
        for (int i = 0; i < cols; ++i) {
            const int x = i * step;
            const std::size_t k = static_cast<std::size_t>(j) * cols + i;
            const float v = z[x];
            if (std::isfinite(v) && v > 0 && v <= FARTHEST_M &&
                !(trusted && trusted[x] < threshold)) {
                units[k] = static_cast<std::uint16_t>(
                    std::max(1.0f, std::round(v / METRES_PER_UNIT)));  // 0 means none
                nearest = std::min(nearest, v);
                farthest = std::max(farthest, v);
                ++valid;
            }
            if (colour) {
                const cv::Vec3b& c = colour[std::min(bgr.cols - 1, x * bgr.cols / size.width)];
                rgb[3 * k] = c[2];
                rgb[3 * k + 1] = c[1];
                rgb[3 * k + 2] = c[0];
            }
        }
    }
    put(out, 52, valid ? nearest : 0.0f);
    put(out, 56, farthest);
    put(out, 60, valid);
    return out;
}

}  // namespace detail

ViewerImagePtr ViewerSession::wait_points(std::uint64_t after, double timeout_s, int width) const {
    return _state->wait_encoded(detail::POINTS_SLOT, after, timeout_s, width,
                                [width](const FramePacketPtr& packet, std::uint64_t gen,
                                        std::int64_t packet_ns, int threshold) {
                                    auto out = std::make_shared<ViewerImage>();
                                    out->data =
                                        detail::encode_point_frame(*packet, gen, width, threshold);
                                    out->generation = gen;
                                    out->width = width;
                                    out->packet_ns = packet_ns;
                                    return ViewerImagePtr(out);
                                });
}

}  // namespace kelvo
