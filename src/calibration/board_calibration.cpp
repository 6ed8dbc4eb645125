#include "kelvo/calibration/board_calibration.hpp"

#include <glob.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/source_frames.hpp"
#include "kelvo/calibration/opencv_yaml.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/sources/base.hpp"
#include "kelvo/writers/safe_output.hpp"

namespace kelvo {
namespace board_calibration {

cv::Mat grey_of(const cv::Mat& image) {
    if (image.empty()) throw std::invalid_argument("an eye image is empty");
    cv::Mat grey;
    if (image.channels() == 1) {
        grey = image;
    } else if (image.channels() == 3) {
        cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    } else {
        cv::cvtColor(image, grey, cv::COLOR_BGRA2GRAY);
    }
    if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U);
    return grey;
}

double mean_distance(const std::vector<cv::Point2f>& a, const std::vector<cv::Point2f>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += cv::norm(a[i] - b[i]);
    return sum / static_cast<double>(a.size());
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const double at = p * static_cast<double>(v.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(at));
    const auto hi = std::min(lo + 1, v.size() - 1);
    return v[lo] + (v[hi] - v[lo]) * (at - static_cast<double>(lo));
}

/// Share of the grid's cells that hold at least one corner.
double coverage(const std::vector<std::vector<cv::Point2f>>& views, cv::Size size) {
    std::vector<bool> hit(COVERAGE_COLS * COVERAGE_ROWS, false);
    for (const auto& corners : views) {
        for (const auto& p : corners) {
            const int cx = std::clamp(static_cast<int>(p.x * COVERAGE_COLS / size.width), 0,
                                      COVERAGE_COLS - 1);
            const int cy = std::clamp(static_cast<int>(p.y * COVERAGE_ROWS / size.height), 0,
                                      COVERAGE_ROWS - 1);
            hit[static_cast<std::size_t>(cy * COVERAGE_COLS + cx)] = true;
        }
    }
    return static_cast<double>(std::count(hit.begin(), hit.end(), true)) /
           static_cast<double>(hit.size());
}

Json round3(double v) {
    return std::isfinite(v) ? Json(std::round(v * 1000.0) / 1000.0) : Json(nullptr);
}

std::vector<double> coefficients(const cv::Mat& d) {
    std::vector<double> out(5, 0.0);
    for (int i = 0; i < std::min<int>(5, static_cast<int>(d.total())); ++i) {
        out[static_cast<std::size_t>(i)] = d.at<double>(i);
    }
    return out;
}

/// One calibration pass over a set of views.
struct Fit {
    cv::Mat K1, D1, K2, D2, R, T;
    double rms = 0;
    std::vector<double> left_err, right_err;  ///< per view
};

Fit fit(const std::vector<std::vector<cv::Point3f>>& object,
        const std::vector<std::vector<cv::Point2f>>& left,
        const std::vector<std::vector<cv::Point2f>>& right, cv::Size size) {
    Fit f;
    std::vector<cv::Mat> rvecs, tvecs;
    // Each eye alone first: a good start for the joint refinement, which
    // then moves both eyes' intrinsics and the pair's pose together.
    cv::calibrateCamera(object, left, size, f.K1, f.D1, rvecs, tvecs);
    cv::calibrateCamera(object, right, size, f.K2, f.D2, rvecs, tvecs);
    cv::Mat E, F, per_view;
    f.rms = cv::stereoCalibrate(
        object, left, right, f.K1, f.D1, f.K2, f.D2, size, f.R, f.T, E, F, per_view,
        cv::CALIB_USE_INTRINSIC_GUESS,
        cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-6));
    per_view.convertTo(per_view, CV_64F);
    for (int i = 0; i < per_view.rows; ++i) {
        f.left_err.push_back(per_view.at<double>(i, 0));
        f.right_err.push_back(per_view.at<double>(i, 1));
    }
    return f;
}

}  // namespace board_calibration

namespace bc = board_calibration;

BoardCalibrator::BoardCalibrator(CalibrationBoard board, BoardCalibrationOptions options)
    : _board(std::move(board)), _options(options), _object(_board.object_points()) {}

bool BoardCalibrator::add_view(const std::string& name, const cv::Mat& left, const cv::Mat& right) {
    if (left.size() != right.size()) {
        throw std::invalid_argument(fmt::format("{}: the eyes differ in size ({}x{} and {}x{})",
                                                name, left.cols, left.rows, right.cols,
                                                right.rows));
    }
    if (!_size.empty() && left.size() != _size) {
        throw std::invalid_argument(fmt::format(
            "{}: eyes of {}x{}, but the views before are {}x{}; one calibration is for one "
            "image size",
            name, left.cols, left.rows, _size.width, _size.height));
    }
    _size = left.size();
    Entry entry{name, -1, {}};
    const cv::Mat gl = bc::grey_of(left), gr = bc::grey_of(right);
    const auto cl = _board.find(gl);
    const auto cr = cl ? _board.find(gr) : std::nullopt;
    const cv::Size grid = _board.kind == CalibrationBoard::Kind::chessboard
                              ? cv::Size(_board.cols, _board.rows)
                              : cv::Size(_board.cols - 1, _board.rows - 1);
    if (!cl || !cr) {
        entry.reason = !cl ? "the whole board is not seen by the left eye"
                           : "the whole board is not seen by the right eye";
    } else {
        const double edge = std::max(cv::estimateChessboardSharpness(gl, grid, *cl)[0],
                                     cv::estimateChessboardSharpness(gr, grid, *cr)[0]);
        if (!(edge <= _options.max_edge_width_px)) {
            entry.reason = fmt::format("blurred: edges {:.1f} px wide (at most {:.1f})", edge,
                                       _options.max_edge_width_px);
        }
        const double diagonal = std::hypot(_size.width, _size.height);
        for (std::size_t v = 0; entry.reason.empty() && v < _views.size(); ++v) {
            if (bc::mean_distance(*cl, _views[v].left) < _options.duplicate_share * diagonal) {
                for (const auto& e : _entries) {
                    if (e.view == static_cast<int>(v)) {
                        entry.reason = "near-duplicate of " + e.name;
                    }
                }
            }
        }
    }
    if (entry.reason.empty()) {
        entry.view = static_cast<int>(_views.size());
        _views.push_back({*cl, *cr});
    }
    _entries.push_back(std::move(entry));
    return _entries.back().view >= 0;
}

std::int64_t BoardCalibrator::add_frames(FrameSource& source, int width, int height) {
    std::int64_t considered = 0;
    detail::for_each_source_frame(source, [&](const FramePtr& frame) {
        ++considered;
        const std::string name = frame->source_frame_idx
                                     ? fmt::format("frame {}", *frame->source_frame_idx)
                                     : fmt::format("frame at {} us", frame->pts_us);
        cv::Mat grey;
        try {
            grey = source.decode_to_grey(frame->payload, width, height);
        } catch (const std::exception& e) {
            _entries.push_back({name, -1, fmt::format("does not decode: {}", e.what())});
            return;
        }
        const int half = grey.cols / 2;
        add_view(name, grey(cv::Rect(0, 0, half, grey.rows)),
                 grey(cv::Rect(half, 0, half, grey.rows)));
    });
    return considered;
}

BoardCalibrationResult BoardCalibrator::calibrate() const {
    BoardCalibrationResult result;
    Json& report = result.report;
    std::vector<std::string> rejected(_views.size());
    std::vector<double> left_err(_views.size(), NAN), right_err(_views.size(), NAN);
    std::optional<bc::Fit> fit;
    std::vector<std::size_t> used;
    std::string failure;

    for (std::size_t v = 0; v < _views.size(); ++v) used.push_back(v);
    // OpenCV needs a few views before it can calibrate at all; fewer are
    // judged too few below without trying.
    constexpr int MAX_ROUNDS = 4;  // the last one rejects nothing more
    for (int round = 0; used.size() >= 3; ++round) {
        std::vector<std::vector<cv::Point3f>> object(used.size(), _object);
        std::vector<std::vector<cv::Point2f>> left, right;
        for (auto v : used) {
            left.push_back(_views[v].left);
            right.push_back(_views[v].right);
        }
        try {
            fit = bc::fit(object, left, right, _size);
        } catch (const cv::Exception& e) {
            failure = fmt::format("OpenCV could not calibrate these views: {}", e.err);
            fit.reset();
            break;
        }
        std::vector<double> worst;
        for (std::size_t i = 0; i < used.size(); ++i) {
            left_err[used[i]] = fit->left_err[i];
            right_err[used[i]] = fit->right_err[i];
            worst.push_back(std::max(fit->left_err[i], fit->right_err[i]));
        }
        if (round + 1 == MAX_ROUNDS) break;
        const double typical = bc::median(worst);
        const double limit = std::max(_options.outlier_factor * typical, _options.outlier_floor_px);
        std::vector<std::size_t> kept;
        for (std::size_t i = 0; i < used.size(); ++i) {
            if (worst[i] > limit) {
                rejected[used[i]] = fmt::format(
                    "error {:.2f} px stands out (median of the views {:.2f} px, limit {:.2f} px)",
                    worst[i], typical, limit);
            } else {
                kept.push_back(used[i]);
            }
        }
        if (kept.size() == used.size()) break;
        // The views left are calibrated again without those rejected.
        used = std::move(kept);
        fit.reset();
    }

    Json per_view = Json::array();
    int views_rejected = 0;
    for (const auto& e : _entries) {
        Json j;
        j["view"] = e.name;
        const bool in_fit =
            e.view >= 0 &&
            std::find(used.begin(), used.end(), static_cast<std::size_t>(e.view)) != used.end();
        j["left_px"] =
            e.view >= 0 ? bc::round3(left_err[static_cast<std::size_t>(e.view)]) : Json(nullptr);
        j["right_px"] =
            e.view >= 0 ? bc::round3(right_err[static_cast<std::size_t>(e.view)]) : Json(nullptr);
        j["used"] = in_fit && fit.has_value();
        std::string reason = e.reason;
        if (e.view >= 0 && !rejected[static_cast<std::size_t>(e.view)].empty()) {
            reason = rejected[static_cast<std::size_t>(e.view)];
            ++views_rejected;
        }
        j["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
        per_view.push_back(std::move(j));
    }

    auto& problems = result.problems;
    const int views_used = fit ? static_cast<int>(used.size()) : 0;
    if (views_used < _options.min_views) {
        problems.push_back(fmt::format(
            "too few views: {} used of {} considered ({} kept before the fit), at least {} "
            "needed from different poses",
            views_used, _entries.size(), _views.size(), _options.min_views));
    }
    if (!failure.empty()) problems.push_back(failure);

    report["image_size"] = _size.empty() ? Json(nullptr) : Json::array({_size.width, _size.height});
    report["views_considered"] = _entries.size();
    report["views_used"] = views_used;
    report["views_rejected"] = views_rejected;
    report["rms_px"] = nullptr;
    report["epipolar_mean_px"] = nullptr;
    report["epipolar_p95_px"] = nullptr;
    report["baseline_m"] = nullptr;
    report["focal_px"] = nullptr;
    report["coverage"] = Json{{"left", nullptr}, {"right", nullptr}};

    if (fit) {
        Calibration::Camera left{cv::Matx33d(fit->K1), bc::coefficients(fit->D1)};
        Calibration::Camera right{cv::Matx33d(fit->K2), bc::coefficients(fit->D2)};
        auto calibration = std::make_shared<const Calibration>(
            HeightWidth{_size.height, _size.width}, left, right, cv::Matx33d(fit->R),
            cv::Vec3d(fit->T.at<double>(0), fit->T.at<double>(1), fit->T.at<double>(2)));
        // Corners of the views used, as the kit's own rectification places them.
        const auto rect = calibration->rectification({_size.height, _size.width});
        std::vector<double> vertical;
        std::vector<std::vector<cv::Point2f>> lefts, rights;
        for (auto v : used) {
            std::vector<cv::Point2f> ul, ur;
            cv::undistortPoints(_views[v].left, ul, rect->K1, rect->D1, rect->R1, rect->P1);
            cv::undistortPoints(_views[v].right, ur, rect->K2, rect->D2, rect->R2, rect->P2);
            for (std::size_t i = 0; i < ul.size(); ++i) {
                vertical.push_back(std::abs(static_cast<double>(ul[i].y - ur[i].y)));
            }
            lefts.push_back(_views[v].left);
            rights.push_back(_views[v].right);
        }
        double mean = 0;
        for (double d : vertical) mean += d;
        mean /= std::max<std::size_t>(1, vertical.size());
        const double p95 = bc::percentile(vertical, 0.95);
        const double cover_l = bc::coverage(lefts, _size), cover_r = bc::coverage(rights, _size);
        report["rms_px"] = bc::round3(fit->rms);
        report["epipolar_mean_px"] = bc::round3(mean);
        report["epipolar_p95_px"] = bc::round3(p95);
        report["baseline_m"] = std::round(cv::norm(fit->T) * 1e6) / 1e6;
        report["focal_px"] = bc::round3(fit->K1.at<double>(0, 0));
        report["coverage"] = Json{{"left", bc::round3(cover_l)}, {"right", bc::round3(cover_r)}};
        if (std::min(cover_l, cover_r) < _options.min_coverage) {
            problems.push_back(fmt::format(
                "coverage too small: corners cover {:.0f}% of the left and {:.0f}% of the right "
                "image ({}x{} grid), at least {:.0f}% needed; show the board near the edges "
                "and corners too",
                100 * cover_l, 100 * cover_r, COVERAGE_COLS, COVERAGE_ROWS,
                100 * _options.min_coverage));
        }
        if (!(fit->rms <= _options.max_rms_px)) {
            problems.push_back(
                fmt::format("stereo RMS reprojection error {:.3f} px is over {:.2f} px", fit->rms,
                            _options.max_rms_px));
        }
        if (!(p95 <= _options.max_epipolar_p95_px)) {
            problems.push_back(
                fmt::format("rectified corners are {:.3f} px apart vertically (95th percentile), "
                            "over {:.2f} px",
                            p95, _options.max_epipolar_p95_px));
        }
        if (problems.empty()) result.calibration = calibration;
    }
    report["thresholds"] = Json{{"min_views", _options.min_views},
                                {"min_coverage", _options.min_coverage},
                                {"max_rms_px", _options.max_rms_px},
                                {"max_epipolar_p95_px", _options.max_epipolar_p95_px}};
    report["verdict"] = problems.empty() ? "good" : "poor";
    report["problems"] = problems;
    report["per_view"] = std::move(per_view);
    return result;
}

void add_image_views(BoardCalibrator& calibrator, const std::vector<std::filesystem::path>& pairs) {
    for (const auto& path : pairs) {
        const cv::Mat image = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
        if (image.empty()) {
            throw std::invalid_argument("not an image: " + path.string());
        }
        const int half = image.cols / 2;
        calibrator.add_view(path.filename().string(), image(cv::Rect(0, 0, half, image.rows)),
                            image(cv::Rect(half, 0, half, image.rows)));
    }
}

void add_image_views(BoardCalibrator& calibrator, const std::vector<std::filesystem::path>& left,
                     const std::vector<std::filesystem::path>& right) {
    if (left.size() != right.size()) {
        throw std::invalid_argument(fmt::format(
            "{} left and {} right images: they are matched by sorted name, so the counts must "
            "agree",
            left.size(), right.size()));
    }
    for (std::size_t i = 0; i < left.size(); ++i) {
        const cv::Mat l = cv::imread(left[i].string(), cv::IMREAD_GRAYSCALE);
        const cv::Mat r = cv::imread(right[i].string(), cv::IMREAD_GRAYSCALE);
        if (l.empty()) throw std::invalid_argument("not an image: " + left[i].string());
        if (r.empty()) throw std::invalid_argument("not an image: " + right[i].string());
        calibrator.add_view(left[i].filename().string() + " + " + right[i].filename().string(), l,
                            r);
    }
}

std::vector<std::filesystem::path> glob_files(const std::string& pattern) {
    glob_t found{};
    std::vector<std::filesystem::path> out;
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
        for (std::size_t i = 0; i < found.gl_pathc; ++i) {
            if (std::filesystem::is_regular_file(found.gl_pathv[i]))
                out.emplace_back(found.gl_pathv[i]);
        }
    }
    ::globfree(&found);
    std::sort(out.begin(), out.end());
    return out;
}

void write_calibration_outputs(const BoardCalibrationResult& result,
                               const std::filesystem::path& dir) {
    const auto json_file = dir / "calibration.json", yaml_file = dir / "calibration.yaml";
    if (result.good() && result.calibration) {
        write_file_atomically(json_file, result.calibration->to_dict().dump(2) + "\n");
        write_file_atomically(
            yaml_file,
            calibration_opencv_yaml(*result.calibration,
                                    "kelvo calibrate: stereo calibration from board views; T in "
                                    "metres; K/D per eye as cv::stereoRectify takes them, R1 R2 "
                                    "P1 P2 Q as it gives them"));
    } else {
        std::error_code ec;
        std::filesystem::remove(json_file, ec);
        std::filesystem::remove(yaml_file, ec);
    }
    write_file_atomically(dir / "report.json", result.report.dump(2) + "\n");
}

}  // namespace kelvo
