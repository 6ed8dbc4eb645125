#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>
#include <opencv2/calib3d.hpp>

#include "kelvo/calibration/health_check.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/pipeline/history_recorder.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/safe_output.hpp"

namespace kelvo {
namespace correction {

/// Rectified-pixel geometry of one eye.
struct Eye {
    double f, cx, cy;
};

/// Row of a right-eye point once the right camera is turned by `w` (a
/// Rodrigues vector) and its focal length scaled by `s`.
double corrected_row(const RectifiedMatch& m, const Eye& right, const cv::Matx33d& rot, double s) {
    const cv::Vec3d ray((m.xr - right.cx) / right.f, (m.yr - right.cy) / right.f, 1.0);
    const cv::Vec3d turned = rot * ray;
    return right.f * s * turned[1] / turned[2] + right.cy;
}

cv::Matx33d rotation_of(const cv::Vec3d& w) {
    cv::Matx33d r;
    cv::Rodrigues(w, r);
    return r;
}

/// Robust Gauss-Newton on the rows: parameters (wx, wy, wz, log s), Huber
/// weights so a few bad matches cannot pull the fit.
std::pair<cv::Vec3d, double> fit(const std::vector<RectifiedMatch>& matches, const Eye& right,
                                 bool with_scale) {
    const int n = with_scale ? 4 : 3;
    std::vector<double> p(4, 0.0);
    const auto residual = [&](const RectifiedMatch& m, const std::vector<double>& q) {
        return corrected_row(m, right, rotation_of({q[0], q[1], q[2]}), std::exp(q[3])) - m.yl;
    };
    constexpr double HUBER = 0.5, STEP = 1e-6;
    for (int iteration = 0; iteration < 20; ++iteration) {
        cv::Mat A = cv::Mat::zeros(n, n, CV_64F), b = cv::Mat::zeros(n, 1, CV_64F);
        for (const auto& m : matches) {
            const double r = residual(m, p);
            const double weight = std::abs(r) <= HUBER ? 1.0 : HUBER / std::abs(r);
            double J[4];
            for (int k = 0; k < n; ++k) {
                auto q = p;
                q[static_cast<std::size_t>(k)] += STEP;
                J[k] = (residual(m, q) - r) / STEP;
            }
            for (int a = 0; a < n; ++a) {
                b.at<double>(a) -= weight * J[a] * r;
                for (int c = 0; c < n; ++c) A.at<double>(a, c) += weight * J[a] * J[c];
            }
        }
        // A little damping: the turn about the vertical axis barely moves rows.
        for (int k = 0; k < n; ++k) A.at<double>(k, k) *= 1.0 + 1e-3;
        cv::Mat delta;
        if (!cv::solve(A, b, delta, cv::DECOMP_CHOLESKY)) break;
        double size = 0;
        for (int k = 0; k < n; ++k) {
            p[static_cast<std::size_t>(k)] += delta.at<double>(k);
            size = std::max(size, std::abs(delta.at<double>(k)));
        }
        if (size < 1e-9) break;
    }
    return {cv::Vec3d(p[0], p[1], p[2]), std::exp(p[3])};
}

}  // namespace correction

namespace cr = correction;

CalibrationCorrection estimate_correction(const Calibration& calibration,
                                          const std::vector<RectifiedMatch>& matches,
                                          int min_matches) {
    if (static_cast<int>(matches.size()) < min_matches) {
        throw RuntimeError(fmt::format(
            "{} matches between the eyes; at least {} are needed to estimate a correction",
            matches.size(), min_matches));
    }
    const HeightWidth size = calibration.image_size();
    const auto rect = calibration.rectification(size);
    const cr::Eye right{rect->P2.at<double>(0, 0), rect->P2.at<double>(0, 2),
                        rect->P2.at<double>(1, 2)};
    // The focal-length ratio scales rows about the centre: only matches
    // spread over much of the height tell it apart from noise.
    std::vector<float> rows;
    for (const auto& m : matches) rows.push_back(m.yl);
    std::sort(rows.begin(), rows.end());
    const double spread = rows[rows.size() * 95 / 100] - rows[rows.size() * 5 / 100];
    const bool with_scale = spread >= 0.4 * size.height;
    const auto [w, s] = cr::fit(matches, right, with_scale);

    // The corrected right rectified ray is rot(w) R2 ray_right and must meet
    // R1 ray_left: R' = R2^T rot(w)^T R1. The right camera turns about its
    // own centre, so the baseline vector stays: T' = R' R^T T.
    const cv::Matx33d R1(rect->R1), R2(rect->R2);
    const cv::Matx33d turn = cr::rotation_of(w);
    const cv::Matx33d R_new = R2.t() * turn.t() * R1;
    const cv::Vec3d T_new = R_new * calibration.R().t() * calibration.T();
    Json dict = calibration.to_dict();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) dict["R"][r][c] = R_new(r, c);
        dict["T"][r] = T_new[r];
    }
    if (with_scale) {
        // Normalised coordinates grow by s when the focal length shrinks by it.
        dict["right"]["camera_matrix"][0][0] = calibration.right().camera_matrix(0, 0) / s;
        dict["right"]["camera_matrix"][1][1] = calibration.right().camera_matrix(1, 1) / s;
    }
    CalibrationCorrection out;
    out.calibration = std::move(dict);
    cv::Vec3d change;
    cv::Rodrigues(R_new * calibration.R().t(), change);
    out.rotation_deg = change * (180.0 / CV_PI);
    out.focal_ratio = with_scale ? 1.0 / s : 1.0;
    out.focal_fitted = with_scale;
    out.matches = matches.size();
    return out;
}

RecordingResult write_recording_with_update(const std::filesystem::path& recording,
                                            const std::filesystem::path& out,
                                            const Json& calibration, std::int64_t update_at_us) {
    Calibration::from_dict(calibration);  // refuses a malformed calibration before any writing
    auto replay = std::make_shared<MkvReplay>(
        recording, MkvReplayOptions{.replay_mode = "every_frame", .loop = false});
    const CameraInfo info = replay->open();
    ReplayHistory history = ReplayHistory::of(*replay, info.fps);
    // After any update already at that time: the replay takes the later one.
    const auto at = std::upper_bound(
        history.calibration.begin(), history.calibration.end(), update_at_us,
        [](std::int64_t t, const std::pair<std::int64_t, Json>& e) { return t < e.first; });
    history.calibration.insert(at, {update_at_us, calibration});

    PendingFile file(out);
    RecordingManager manager({
        .source = replay,
        .info_provider = [info] { return std::optional<CameraInfo>(info); },
        .camera_controls_provider = [] { return Json::object(); },
        .recorder_factory = history_recorder_factory(std::move(history)),
    });
    manager.start(file.path(), {});
    std::int64_t frames = 0;
    while (FramePtr frame = replay->grab(1.0)) {
        manager.feed_worker_rate(frame);
        ++frames;
    }
    RecordingResult result = manager.stop();
    replay->close();
    if (result.frames_written != frames) {
        throw RuntimeError(fmt::format("the copy holds {} of the recording's {} frames",
                                       result.frames_written, frames));
    }
    file.commit();
    result.path = out.string();
    return result;
}

namespace correction {

std::optional<double> median_from(const HealthReport& report, std::int64_t from_us) {
    std::vector<double> medians;
    for (const auto& w : report.windows) {
        if (w.end_us > from_us && w.verdict != "unknown") medians.push_back(*w.vertical_median_px);
    }
    if (medians.empty()) return std::nullopt;
    std::sort(medians.begin(), medians.end());
    const std::size_t n = medians.size();
    return n % 2 ? medians[n / 2] : 0.5 * (medians[n / 2 - 1] + medians[n / 2]);
}

Json rounded(std::optional<double> v, double unit = 1000.0) {
    return v ? Json(std::round(*v * unit) / unit) : Json(nullptr);
}

}  // namespace correction

Json CorrectionRun::to_json() const {
    Json j = before.to_json();
    j["correction"] =
        Json{{"rotation_deg", Json::array({cr::rounded(correction.rotation_deg[0], 1e5),
                                           cr::rounded(correction.rotation_deg[1], 1e5),
                                           cr::rounded(correction.rotation_deg[2], 1e5)})},
             {"vertical_before_px", cr::rounded(vertical_before_px)},
             {"vertical_after_px", cr::rounded(vertical_after_px)},
             {"focal_ratio",
              correction.focal_fitted ? cr::rounded(correction.focal_ratio, 1e6) : Json(nullptr)},
             {"update_at_us", update_at_us},
             {"matches", correction.matches},
             {"recording", copy.path}};
    return j;
}

CorrectionRun correct_recording(const CalibrationHealthCheck& checked,
                                const std::filesystem::path& recording,
                                const std::filesystem::path& out,
                                std::optional<std::int64_t> update_at_us,
                                HealthCheckOptions options) {
    CorrectionRun run;
    run.before = checked.report();
    if (run.before.windows.empty()) throw RuntimeError("the recording holds no frame to check");
    if (update_at_us) {
        run.update_at_us = *update_at_us;
    } else {
        run.update_at_us = run.before.windows.front().start_us;
        for (const auto& w : run.before.windows) {
            if (w.verdict == "can_improve" || w.verdict == "needs_recalibration") {
                run.update_at_us = w.start_us;
                break;
            }
        }
    }
    const CalibrationPtr in_force = checked.calibration_at(run.update_at_us);
    if (!in_force) throw RuntimeError("the recording carries no calibration to correct");
    // Every frame rectified with that calibration tells about it, also those
    // before the update.
    run.correction = estimate_correction(
        *in_force, checked.matches_of(in_force, std::numeric_limits<std::int64_t>::min()),
        options.min_matches);
    run.copy =
        write_recording_with_update(recording, out, run.correction.calibration, run.update_at_us);
    run.vertical_before_px = cr::median_from(run.before, run.update_at_us);

    // Measured again where a user meets it: the copy, replayed.
    CalibrationHealthCheck again(options);
    MkvReplay copy(out, {.replay_mode = "every_frame", .loop = false});
    const CameraInfo info = copy.open();
    if (run.update_at_us > 0) copy.seek_relative_us(run.update_at_us);
    again.add_frames(copy, info.width, info.height, run.update_at_us);
    copy.close();
    run.vertical_after_px = cr::median_from(again.report(), run.update_at_us);
    return run;
}

}  // namespace kelvo
