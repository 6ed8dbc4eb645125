#include "kelvo/calibration/health_check.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/source_frames.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo {
namespace health_check {

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double p95_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const double at = 0.95 * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(at));
    const auto hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
}

/// Peak offset of three samples by a parabola through them.
double parabola_peak(double a, double b, double c) {
    const double d = a - 2 * b + c;
    return std::abs(d) < 1e-12 ? 0.0 : std::clamp(0.5 * (a - c) / d, -0.5, 0.5);
}

constexpr int PATCH = 7;   ///< half size of the patch correlated around a match
constexpr int SEARCH = 3;  ///< how far (pixels) the right position may move
constexpr double MIN_CORRELATION = 0.85;
constexpr std::size_t MAX_MATCHES_PER_FRAME = 200;

/// Sub-pixel position of the left patch at `pl` in the right image near `pr`
/// by normalised correlation: feature detectors place keypoints on a pixel
/// grid (coarser on their pyramid levels), too coarse for rows a tenth of a
/// pixel apart.
std::optional<cv::Point2f> refine(const cv::Mat& left, const cv::Mat& right, cv::Point2f pl,
                                  cv::Point2f pr) {
    const cv::Point il(cvRound(pl.x), cvRound(pl.y)), ir(cvRound(pr.x), cvRound(pr.y));
    const cv::Rect patch(il.x - PATCH, il.y - PATCH, 2 * PATCH + 1, 2 * PATCH + 1);
    const cv::Rect area(ir.x - PATCH - SEARCH, ir.y - PATCH - SEARCH, 2 * (PATCH + SEARCH) + 1,
                        2 * (PATCH + SEARCH) + 1);
    if ((patch & cv::Rect(0, 0, left.cols, left.rows)) != patch ||
        (area & cv::Rect(0, 0, right.cols, right.rows)) != area) {
        return std::nullopt;
    }
    cv::Mat score;
    cv::matchTemplate(right(area), left(patch), score, cv::TM_CCOEFF_NORMED);
    double best = 0;
    cv::Point at;
    cv::minMaxLoc(score, nullptr, &best, nullptr, &at);
    if (!(best >= MIN_CORRELATION) || at.x == 0 || at.y == 0 || at.x == score.cols - 1 ||
        at.y == score.rows - 1) {
        return std::nullopt;
    }
    const auto s = [&](int dx, int dy) {
        return static_cast<double>(score.at<float>(at.y + dy, at.x + dx));
    };
    const double ox = parabola_peak(s(-1, 0), s(0, 0), s(1, 0));
    const double oy = parabola_peak(s(0, -1), s(0, 0), s(0, 1));
    // The patch's offset from the left point's pixel carries over.
    return cv::Point2f(static_cast<float>(area.x + at.x + PATCH + ox + (pl.x - il.x)),
                       static_cast<float>(area.y + at.y + PATCH + oy + (pl.y - il.y)));
}

}  // namespace health_check

namespace hc = health_check;

std::string health_verdict(std::optional<double> median_px) {
    if (!median_px) return "unknown";
    if (*median_px <= HEALTH_GOOD_PX) return "good";
    if (*median_px <= HEALTH_RECALIBRATE_PX) return "can_improve";
    return "needs_recalibration";
}

Json HealthReport::to_json() const {
    const auto rounded = [](const std::optional<double>& v) {
        return v ? Json(std::round(*v * 1000.0) / 1000.0) : Json(nullptr);
    };
    Json w = Json::array();
    for (const auto& window : windows) {
        w.push_back(Json{{"start_us", window.start_us},
                         {"end_us", window.end_us},
                         {"frames", window.frames},
                         {"matches", window.matches},
                         {"vertical_median_px", rounded(window.vertical_median_px)},
                         {"vertical_p95_px", rounded(window.vertical_p95_px)},
                         {"verdict", window.verdict}});
    }
    return Json{{"verdict", verdict}, {"windows", std::move(w)}};
}

CalibrationHealthCheck::CalibrationHealthCheck(HealthCheckOptions options) : _options(options) {
    if (!(options.window_s > 0) || !std::isfinite(options.window_s)) {
        throw std::invalid_argument(fmt::format(
            "the window must be a positive number of seconds; got {}", options.window_s));
    }
}

std::size_t CalibrationHealthCheck::add_frame(std::int64_t pts_us, const cv::Mat& side_by_side,
                                              const CalibrationPtr& calibration) {
    FrameMatches frame{pts_us, calibration, {}};
    if (calibration && side_by_side.cols >= 2) {
        cv::Mat grey = side_by_side;
        if (grey.channels() == 3) cv::cvtColor(side_by_side, grey, cv::COLOR_BGR2GRAY);
        const int half = grey.cols / 2;
        const auto rect = calibration->rectification({grey.rows, half});
        const cv::Mat left = rect->rectify(grey(cv::Rect(0, 0, half, grey.rows)), false);
        const cv::Mat right = rect->rectify(grey(cv::Rect(half, 0, half, grey.rows)), true);

        auto orb =
            cv::ORB::create(_options.features, 1.2f, 4, 19, 0, 2, cv::ORB::HARRIS_SCORE, 31, 10);
        std::vector<cv::KeyPoint> kl, kr;
        cv::Mat dl, dr;
        orb->detectAndCompute(left, cv::noArray(), kl, dl);
        orb->detectAndCompute(right, cv::noArray(), kr, dr);
        std::vector<cv::DMatch> matches;
        if (!dl.empty() && !dr.empty()) {
            cv::BFMatcher(cv::NORM_HAMMING, true).match(dl, dr, matches);
        }
        // A rectified pair of a roughly right calibration: the same row give
        // or take a few percent of the height, the right view not further
        // right than the left one.
        const float band = std::max(8.0f, 0.05f * static_cast<float>(grey.rows));
        std::vector<cv::Point2f> pl, pr;
        for (const auto& m : matches) {
            const cv::Point2f a = kl[static_cast<std::size_t>(m.queryIdx)].pt;
            const cv::Point2f b = kr[static_cast<std::size_t>(m.trainIdx)].pt;
            if (std::abs(a.y - b.y) > band || b.x > a.x + 2.0f) continue;
            pl.push_back(a);
            pr.push_back(b);
        }
        std::vector<uchar> inlier;
        if (pl.size() >= 8) {
            // The robust fit: matches that no single epipolar geometry explains go.
            cv::findFundamentalMat(pl, pr, cv::FM_RANSAC, 1.5, 0.99, inlier);
        }
        for (std::size_t i = 0; i < inlier.size(); ++i) {
            if (!inlier[i]) continue;
            const auto refined = hc::refine(left, right, pl[i], pr[i]);
            if (!refined) continue;
            frame.matches.push_back({pl[i].x, pl[i].y, refined->x, refined->y});
            // Enough for the statistics and the fit; a long recording stays small.
            if (frame.matches.size() >= hc::MAX_MATCHES_PER_FRAME) break;
        }
    }
    _frames.push_back(std::move(frame));
    return _frames.back().matches.size();
}

void CalibrationHealthCheck::add_frames(FrameSource& source, int width, int height,
                                        std::int64_t from_us) {
    detail::for_each_source_frame(source, [&](const FramePtr& frame) {
        if (frame->pts_us < from_us) return;
        cv::Mat grey;
        try {
            grey = source.decode_to_grey(frame->payload, width, height);
        } catch (const std::exception&) {
            // An undecodable frame counts, with no matches.
        }
        add_frame(frame->pts_us, grey, frame->calibration);
    });
}

HealthReport CalibrationHealthCheck::report() const {
    HealthReport report;
    if (_frames.empty()) return report;
    const auto window_us = static_cast<std::int64_t>(std::llround(_options.window_s * 1e6));
    const std::int64_t origin = _frames.front().pts_us;
    std::vector<double> medians;
    std::size_t i = 0;
    while (i < _frames.size()) {
        HealthWindow w;
        const std::int64_t k = (_frames[i].pts_us - origin) / window_us;
        w.start_us = origin + k * window_us;
        w.end_us = w.start_us + window_us;
        std::vector<double> vertical;
        for (; i < _frames.size() && _frames[i].pts_us < w.end_us; ++i) {
            ++w.frames;
            for (const auto& m : _frames[i].matches) {
                vertical.push_back(std::abs(static_cast<double>(m.yr - m.yl)));
            }
        }
        w.matches = static_cast<std::int64_t>(vertical.size());
        if (!vertical.empty()) w.vertical_p95_px = hc::p95_of(vertical);
        if (!vertical.empty()) w.vertical_median_px = hc::median_of(vertical);
        if (w.matches >= _options.min_matches) {
            w.verdict = health_verdict(w.vertical_median_px);
            medians.push_back(*w.vertical_median_px);
        }
        report.windows.push_back(std::move(w));
    }
    // The whole run by its typical window, so one blurred or empty window
    // does not decide it.
    if (!medians.empty()) report.verdict = health_verdict(hc::median_of(medians));
    return report;
}

std::vector<RectifiedMatch> CalibrationHealthCheck::matches_of(const CalibrationPtr& calibration,
                                                               std::int64_t from_us) const {
    std::vector<RectifiedMatch> out;
    for (const auto& f : _frames) {
        if (f.calibration == calibration && f.pts_us >= from_us) {
            out.insert(out.end(), f.matches.begin(), f.matches.end());
        }
    }
    return out;
}

CalibrationPtr CalibrationHealthCheck::calibration_at(std::int64_t pts_us) const {
    for (const auto& f : _frames) {
        if (f.pts_us >= pts_us) return f.calibration;
    }
    return _frames.empty() ? nullptr : _frames.back().calibration;
}

std::int64_t CalibrationHealthCheck::first_us() const {
    return _frames.empty() ? 0 : _frames.front().pts_us;
}

}  // namespace kelvo
