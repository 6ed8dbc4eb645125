// Measuring on the packet on display: disparity and depth at a pixel, and the
// 3-D distance between two pixels of the rectified left image.
#include <algorithm>
#include <cmath>
#include <vector>

#include <fmt/format.h>

#include "viewer/json_fields.hpp"
#include "viewer/viewer_session_state.hpp"

namespace kelvo {
namespace detail {
namespace {

/// Pixels around a measured point whose median depth is taken: one pixel of
/// a block matcher's map is noisy, a 5 x 5 median is not.
constexpr int MEASURE_RADIUS = 2;

Json finite_or_null(double v) {
    return std::isfinite(v) ? Json(v) : Json(nullptr);
}

/// The median of the finite values of `map` within `radius` of `at`; NaN when none.
double median_near(const cv::Mat& map, cv::Point at, int radius) {
    std::vector<float> values;
    for (int y = at.y - radius; y <= at.y + radius; ++y) {
        for (int x = at.x - radius; x <= at.x + radius; ++x) {
            if (x < 0 || y < 0 || x >= map.cols || y >= map.rows) continue;
            const float v = map.at<float>(y, x);
            if (std::isfinite(v)) values.push_back(v);
        }
    }
    if (values.empty()) return NAN;
    auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

struct Point3 {
    double x, y, z, disparity;
};

/// The point of the rectified left camera seen at the pixel `at` falls in,
/// from the depth around it; invalid_argument outside the image, absent
/// depth as NaN z.
Point3 point_at(const FramePacket& p, cv::Point2d at) {
    const cv::Size ref = frame_size(p);
    if (!(at.x >= 0 && at.y >= 0 && at.x < ref.width && at.y < ref.height)) {
        throw std::invalid_argument(fmt::format("point ({}, {}) is outside the {}x{} image", at.x,
                                                at.y, ref.width, ref.height));
    }
    const cv::Point px(static_cast<int>(at.x), static_cast<int>(at.y));
    Point3 out{NAN, NAN, NAN, NAN};
    if (!p.disparity.empty()) out.disparity = median_near(p.disparity, px, 0);
    if (p.depth.empty() || !p.calibration) return out;
    const double z = median_near(p.depth, px, MEASURE_RADIUS);
    const auto r = p.calibration->rectification({ref.height, ref.width});
    // The point of the pixel `at` falls in (its centre, in the camera's
    // pixel coordinates), as the point cloud has it: so a pixel picked on the
    // depth panel and the same pixel picked in 3-D measure alike.
    out.z = z;
    out.x = (px.x - r->cx) * z / r->fx;
    out.y = (px.y - r->cy) * z / r->fy;
    return out;
}

}  // namespace
}  // namespace detail

Json ViewerSession::probe(cv::Point2d at) const {
    const auto packet = _state->require_shown();
    const detail::Point3 p = detail::point_at(*packet, at);
    return {{"x", at.x},
            {"y", at.y},
            {"disparity_px", detail::finite_or_null(p.disparity)},
            {"depth_m", detail::finite_or_null(p.z)}};
}

Json ViewerSession::measure(cv::Point2d a, cv::Point2d b) const {
    const auto packet = _state->require_shown();
    const detail::Point3 pa = detail::point_at(*packet, a), pb = detail::point_at(*packet, b);
    const auto xyz = [](const detail::Point3& p) { return Json::array({p.x, p.y, p.z}); };
    if (!std::isfinite(pa.z) || !std::isfinite(pb.z)) {
        return {{"distance_m", nullptr}, {"reason", "no depth at one of the points"}};
    }
    const double d = std::sqrt((pa.x - pb.x) * (pa.x - pb.x) + (pa.y - pb.y) * (pa.y - pb.y) +
                               (pa.z - pb.z) * (pa.z - pb.z));
    return {{"distance_m", d},
            {"a", xyz(pa)},
            {"b", xyz(pb)},
            {"frame", detail::optional_json(packet->source_frame_idx)}};
}

}  // namespace kelvo
