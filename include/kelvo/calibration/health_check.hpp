// Calibration health without a board: features matched between the rectified
// eyes of a recording, their vertical disparity per time window, and a
// verdict; and the small correction of the pair's rotation (and, where the
// matches support it, focal-length ratio) that removes the vertical error,
// written into a copy of the recording as a calibration update.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/recorder.hpp"

namespace kelvo {

class FrameSource;

/// Verdicts from the median vertical disparity of a window.
inline constexpr double HEALTH_GOOD_PX = 0.5;         ///< up to this: "good"
inline constexpr double HEALTH_RECALIBRATE_PX = 1.0;  ///< beyond this: "needs_recalibration"

struct HealthCheckOptions {
    double window_s = 2.0;
    /// Fewer matches than this in a window: "unknown".
    int min_matches = 40;
    /// Features detected per eye and frame.
    int features = 1000;
};

/// One match between the rectified eyes, in rectified pixels.
struct RectifiedMatch {
    float xl = 0, yl = 0, xr = 0, yr = 0;
};

struct HealthWindow {
    std::int64_t start_us = 0, end_us = 0;  ///< [start, end) of recording time
    int frames = 0;
    std::int64_t matches = 0;
    std::optional<double> vertical_median_px, vertical_p95_px;  ///< |yr - yl|
    std::string verdict = "unknown";
};

struct HealthReport {
    std::string verdict = "unknown";
    std::vector<HealthWindow> windows;
    /// {"verdict", "windows": [{"start_us", "end_us", "frames", "matches",
    /// "vertical_median_px", "vertical_p95_px", "verdict"}]}
    KELVO_API Json to_json() const;
};

/// "good", "can_improve", "needs_recalibration", or "unknown" (no median).
KELVO_API std::string health_verdict(std::optional<double> median_px);

/// Collects frames, then judges. Not thread-safe.
class KELVO_API CalibrationHealthCheck {
  public:
    explicit CalibrationHealthCheck(HealthCheckOptions options = {});

    /// One side-by-side frame (grey or BGR) at `pts_us`, rectified with
    /// `calibration` (the one in force for it). Returns the matches it found;
    /// a frame without a calibration counts with none.
    std::size_t add_frame(std::int64_t pts_us, const cv::Mat& side_by_side,
                          const CalibrationPtr& calibration);
    /// Every frame of `source` (opened by the caller; `width` x `height` is
    /// the side-by-side size) until it is at its end; frames before
    /// `from_us` are skipped.
    void add_frames(FrameSource& source, int width, int height, std::int64_t from_us = 0);

    HealthReport report() const;

    /// The matches of every frame rectified with `calibration` (the same
    /// object) at or after `from_us`: what a correction of it is fitted to.
    std::vector<RectifiedMatch> matches_of(const CalibrationPtr& calibration,
                                           std::int64_t from_us) const;
    /// The calibration in force for the first frame at or after `pts_us`
    /// (the last frame's when none); null without frames.
    CalibrationPtr calibration_at(std::int64_t pts_us) const;
    /// The first frame's time; 0 without frames.
    std::int64_t first_us() const;

  private:
    struct FrameMatches {
        std::int64_t pts_us;
        CalibrationPtr calibration;
        std::vector<RectifiedMatch> matches;
    };
    HealthCheckOptions _options;
    std::vector<FrameMatches> _frames;
};

/// A correction of the pair's relative pose found from rectified matches.
struct CalibrationCorrection {
    Json calibration;           ///< the corrected calibration, dictionary form
    cv::Vec3d rotation_deg;     ///< rotation of the right camera (Rodrigues vector, degrees)
    double focal_ratio = 1.0;   ///< right focal length multiplied by this
    bool focal_fitted = false;  ///< whether the matches supported fitting it
    std::size_t matches = 0;
};

/// Fits the rotation of the right camera about its centre (so the baseline
/// is kept) and, where the matches span enough of the image height, the
/// focal-length ratio, that make matches' rows agree after rectification.
/// RuntimeError with fewer than `min_matches` matches.
KELVO_API CalibrationCorrection estimate_correction(const Calibration& calibration,
                                                    const std::vector<RectifiedMatch>& matches,
                                                    int min_matches = 40);

/// What `kelvo calibration --correct` does and reports.
struct CorrectionRun {
    HealthReport before;  ///< the check the correction is fitted to
    CalibrationCorrection correction;
    std::int64_t update_at_us = 0;
    /// Median of the windows' medians from the update on, before (in the
    /// recording) and after (measured again in the copy).
    std::optional<double> vertical_before_px, vertical_after_px;
    RecordingResult copy;
    /// The check's JSON with "correction": {"rotation_deg", "vertical_before_px",
    /// "vertical_after_px", "focal_ratio", "update_at_us", "recording"}.
    KELVO_API Json to_json() const;
};

/// Fits a correction to the matches `checked` found in `recording` (of the
/// calibration in force at the update), writes the copy with it as an update
/// at `update_at_us` (default: the start of the first window whose verdict
/// is not "good", else of the first window) and checks the copy again from
/// the update on. RuntimeError when there is nothing to fit.
KELVO_API CorrectionRun correct_recording(const CalibrationHealthCheck& checked,
                                          const std::filesystem::path& recording,
                                          const std::filesystem::path& out,
                                          std::optional<std::int64_t> update_at_us,
                                          HealthCheckOptions options = {});

/// Copies `recording` frame for frame to `out` through the kit's recording
/// machinery (camera_info, calibration and camera-state histories kept)
/// with `calibration` as a calibration update at `update_at_us`. The file is
/// written under a partial name and renamed when complete.
KELVO_API RecordingResult write_recording_with_update(const std::filesystem::path& recording,
                                                      const std::filesystem::path& out,
                                                      const Json& calibration,
                                                      std::int64_t update_at_us);

}  // namespace kelvo
