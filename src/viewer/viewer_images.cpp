// The viewer's image streams: the packet on display, each panel encoded once
// per packet and width and shared by every client, and the eye widths the
// clients ask the pipeline for.
#include <algorithm>
#include <limits>
#include <optional>
#include <set>

#include <fmt/format.h>
#include <opencv2/imgproc.hpp>

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/map_colours.hpp"
#include "viewer/jpeg_encoder.hpp"
#include "viewer/viewer_session_state.hpp"

namespace kelvo {

ViewerPanel viewer_panel(const std::string& name) {
    if (name == "left") return ViewerPanel::left;
    if (name == "right") return ViewerPanel::right;
    if (name == "disparity") return ViewerPanel::disparity;
    if (name == "depth") return ViewerPanel::depth;
    if (name == "confidence") return ViewerPanel::confidence;
    throw std::invalid_argument("unknown panel " + repr(name) +
                                " (left, right, disparity, depth or confidence)");
}

namespace detail {
namespace {

constexpr int JPEG_QUALITY = 80;

/// The size a `full`-sized image is shown at when `width` is asked for:
/// never larger than the image, the aspect kept (as the pipeline shrinks eyes).
cv::Size shown_size(cv::Size full, int width) {
    if (full.width <= 0 || full.height <= 0) return full;
    const CanvasLayout layout = shrunk_layout({full.height, full.width}, width);
    return {layout.canvas_w, layout.canvas_h};
}

/// The width the pipeline makes the eyes: the widest asked for, 0 (whole)
/// when a client asks for the whole image; nullopt without a client.
std::optional<int> eye_width(const std::multiset<int>& widths) {
    if (widths.empty()) return std::nullopt;
    return *widths.begin() == 0 ? 0 : *widths.rbegin();
}

/// `image` at `size`; area averaging where it shrinks to less than half,
/// where bilinear sampling would alias. An image shown at three quarters of
/// its width or more stays whole: scaling it costs about what its smaller
/// encoding saves, and the browser scales it anyway.
cv::Mat scaled(const cv::Mat& image, cv::Size size) {
    if (image.empty() || image.size() == size || 4 * size.width >= 3 * image.cols) return image;
    cv::Mat out;
    const bool far = size.width * 2 < image.cols;
    cv::resize(image, out, size, 0, 0, far ? cv::INTER_AREA : cv::INTER_LINEAR);
    return out;
}

/// `map` with the values trusted less than `threshold` made holes; the
/// packet's own map is left as it is (other clients and the host share it).
cv::Mat trusted(const cv::Mat& map, const cv::Mat& confidence, int threshold) {
    if (threshold <= 0 || confidence.empty()) return map;
    CV_Assert(confidence.size() == map.size() && confidence.type() == CV_8UC1);
    cv::Mat out = map.clone();
    out.setTo(std::numeric_limits<float>::quiet_NaN(), confidence < threshold);
    return out;
}

/// Grey at `size`, sampled at the nearest pixel as the maps are, so that a
/// hole stays black and never blurs into its neighbours.
cv::Mat grey_at(const cv::Mat& confidence, cv::Size size) {
    if (confidence.size() == size) return confidence;
    cv::Mat out;
    cv::resize(confidence, out, size, 0, 0, cv::INTER_NEAREST);
    return out;
}

cv::Mat placeholder(cv::Size size, const std::string& text) {
    cv::Mat out(size.height > 0 ? size : cv::Size(640, 360), CV_8UC3, cv::Scalar(32, 32, 32));
    cv::putText(out, text, {16, out.rows / 2}, cv::FONT_HERSHEY_SIMPLEX, 0.6,
                cv::Scalar(200, 200, 200), 1, cv::LINE_AA);
    return out;
}

/// A client of an eye panel, as long as it lives.
struct EyeWatch {
    EyeWatch(std::weak_ptr<ViewerSessionState> s, int w) : state(std::move(s)), width(w) {}
    EyeWatch(const EyeWatch&) = delete;  // one count out per count in
    EyeWatch& operator=(const EyeWatch&) = delete;
    std::weak_ptr<ViewerSessionState> state;
    int width = 0;
    ~EyeWatch() {
        if (auto s = state.lock()) {
            try {
                s->count_eye_client(width, false);
            } catch (const std::exception&) {
                log_exception(*s->logger, "releasing an eye panel's client failed (non-fatal)");
            }
        }
    }
};

}  // namespace

cv::Size frame_size(const FramePacket& p) {
    if (!p.depth.empty()) return p.depth.size();
    if (!p.disparity.empty()) return p.disparity.size();
    return p.rectified_left.size();
}

void ViewerSessionState::on_packet(const FramePacketPtr& packet) {
    MutexLock lock(shown_mutex);
    shown = packet;
    ++generation;
    shown_ns = steady_now_ns();
    images = {};
    shown_cv.notify_all();
}

FramePacketPtr ViewerSessionState::shown_packet() const {
    MutexLock lock(shown_mutex);
    return shown;
}

FramePacketPtr ViewerSessionState::require_shown() const {
    auto packet = shown_packet();
    if (!packet) throw RuntimeError("no frame on display yet");
    return packet;
}

std::optional<std::int64_t> ViewerSessionState::shown_index() const {
    const auto packet = shown_packet();
    if (!packet) return std::nullopt;
    return packet->source_frame_idx;
}

bool ViewerSessionState::apply_eye_width() {
    const auto width = eye_width(eye_widths);
    if (!width || !pipeline || *width == pipeline->rectified_width()) return false;
    pipeline->set_rectified_width(*width);
    return true;
}

void ViewerSessionState::count_eye_client(int width, bool joined) {
    bool changed = false;
    {
        MutexLock lock(control_mutex);
        if (joined) {
            eye_widths.insert(width);
        } else if (const auto it = eye_widths.find(width); it != eye_widths.end()) {
            eye_widths.erase(it);
        }
        changed = apply_eye_width();
    }
    if (changed) refresh();
}

ViewerImagePtr ViewerSessionState::encode(ViewerPanel panel, const FramePacketPtr& packet,
                                          std::uint64_t gen, std::int64_t packet_ns, int width,
                                          int threshold) const {
    cv::Mat image;
    std::optional<ColouredMap> coloured;
    cv::Size size = shown_size(frame_size(*packet), width);
    switch (panel) {
        case ViewerPanel::left:
            image = scaled(packet->rectified_left, size);
            size = image.size();
            break;
        case ViewerPanel::right:
            image = packet->rectified_right.empty()
                        ? placeholder(size, "no right image (monocular back-end)")
                        : scaled(packet->rectified_right, size);
            break;
        case ViewerPanel::disparity:
        case ViewerPanel::depth: {
            const cv::Mat& map =
                panel == ViewerPanel::disparity ? packet->disparity : packet->depth;
            if (map.empty()) {
                image = placeholder(size, panel == ViewerPanel::disparity
                                              ? "no disparity from this back-end"
                                              : "no depth (no calibration or back-end map)");
            } else {
                // Coloured at the size shown: the colouring scales with the pixels too.
                coloured = colour_map(trusted(map, packet->confidence, threshold),
                                      shown_size(map.size(), width));
                image = coloured->bgr;
            }
            break;
        }
        case ViewerPanel::confidence:
            image = packet->confidence.empty()
                        ? placeholder(size, "no confidence from this back-end")
                        : grey_at(packet->confidence, shown_size(packet->confidence.size(), width));
            break;
    }
    auto out = std::make_shared<ViewerImage>();
    out->data = encode_jpeg(image, JPEG_QUALITY);
    out->generation = gen;
    out->width = width;
    out->packet_ns = packet_ns;
    if (coloured) {
        MutexLock lock(shown_mutex);
        const auto slot = panel == ViewerPanel::disparity ? 0 : 1;
        ranges[slot] =
            coloured->any_valid ? Json::array({coloured->lo, coloured->hi}) : Json(nullptr);
    }
    return out;
}

}  // namespace detail

std::shared_ptr<const void> ViewerSession::watch(ViewerPanel panel, int width) {
    if (width < 0)
        throw std::invalid_argument(fmt::format("width must be 0 or more; got {}", width));
    // The maps are coloured at the size asked for: nothing to tell the pipeline.
    if (panel != ViewerPanel::left && panel != ViewerPanel::right) return nullptr;
    _state->count_eye_client(width, true);
    return std::make_shared<detail::EyeWatch>(_state, width);
}

ViewerImagePtr ViewerSession::wait_image(ViewerPanel panel, std::uint64_t after, double timeout_s,
                                         int width) const {
    const auto& st = *_state;
    return st.wait_encoded(
        static_cast<std::size_t>(panel), after, timeout_s, width,
        [&](const FramePacketPtr& packet, std::uint64_t gen, std::int64_t packet_ns,
            int threshold) { return st.encode(panel, packet, gen, packet_ns, width, threshold); });
}

namespace detail {

ViewerImagePtr ViewerSessionState::wait_encoded(std::size_t slot, std::uint64_t after,
                                                double timeout_s, int width,
                                                const SlotEncoder& make) const {
    // Clients of one panel share an encoding when they ask for the same width.
    const auto reusable = [&](const ViewerImagePtr& image, std::uint64_t gen) {
        return image && image->generation == gen && image->width == width;
    };
    FramePacketPtr packet;
    std::uint64_t gen = 0;
    std::int64_t packet_ns = 0;
    int threshold = 0;
    {
        MutexLock lock(shown_mutex);
        const auto deadline = CondVar::deadline_in(timeout_s);
        while (!stopping && !(shown && generation > after)) {
            if (!shown_cv.wait_until(lock, deadline)) break;
        }
        if (stopping || !shown || generation <= after) return nullptr;
        if (reusable(images[slot], generation)) return images[slot];
        packet = shown;
        gen = generation;
        packet_ns = shown_ns;
        threshold = confidence_threshold;
    }
    // Lock order: the slot's encoder, then shown_mutex.
    MutexLock encoding(encode_mutex[slot]);
    {
        // Another client may have encoded it while this one waited.
        MutexLock lock(shown_mutex);
        if (reusable(images[slot], gen)) return images[slot];
    }
    auto image = make(packet, gen, packet_ns, threshold);
    MutexLock lock(shown_mutex);
    if (generation == gen) images[slot] = image;
    return image;
}

}  // namespace detail

}  // namespace kelvo
