// Stereo calibration from views of a board: picks the views worth using,
// calibrates both eyes and the pair with the recordings' camera model (five
// distortion coefficients), rejects views whose error stands out, and judges
// the result, so that a poor calibration is never taken for a good one.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/calibration/board.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"

namespace kelvo {

class FrameSource;

/// What the calibrator accepts and what it calls a poor result.
struct BoardCalibrationOptions {
    /// A view is used only when the board's edges are at most this wide
    /// (OpenCV's chessboard sharpness, in pixels).
    double max_edge_width_px = 5.0;
    /// A view whose left-eye corners lie on average closer than this share of
    /// the image diagonal to those of a view already kept adds no new pose.
    double duplicate_share = 0.025;
    /// A view is rejected when its error exceeds both this many times the
    /// median of the views and `outlier_floor_px`.
    double outlier_factor = 3.0;
    double outlier_floor_px = 0.5;
    /// The verdict: at least this many views used...
    int min_views = 6;
    /// ...corners on at least this share of each eye's 8 x 6 grid...
    double min_coverage = 0.3;
    /// ...a stereo RMS of at most this, and corners after rectification at
    /// most this far apart vertically (95th percentile).
    double max_rms_px = 1.0;
    double max_epipolar_p95_px = 1.0;
};

/// Grid the coverage is counted on.
inline constexpr int COVERAGE_COLS = 8;
inline constexpr int COVERAGE_ROWS = 6;

struct BoardCalibrationResult {
    /// The calibration; null when the verdict is poor.
    CalibrationPtr calibration;
    /// Why the result is poor; empty when it is good.
    std::vector<std::string> problems;
    /// rms_px, per_view, epipolar_mean_px, epipolar_p95_px, baseline_m,
    /// focal_px, views_used, views_rejected, coverage, verdict, problems.
    Json report;
    bool good() const { return problems.empty(); }
};

/// Collects views one at a time (so a long recording is never held in
/// memory: only the corners of the views kept are), then calibrates.
/// Not thread-safe.
class KELVO_API BoardCalibrator {
  public:
    explicit BoardCalibrator(CalibrationBoard board, BoardCalibrationOptions options = {});

    /// Considers one view: two eyes of the same size (BGR or grey). Returns
    /// true when it is kept; otherwise the report's per-view entry says why
    /// not. std::invalid_argument when the eyes differ in size from each
    /// other or from the views before.
    bool add_view(const std::string& name, const cv::Mat& left, const cv::Mat& right);
    /// Every frame of `source` (opened by the caller) until it is at its end,
    /// each a side-by-side pair named "frame N" by its source frame index
    /// (or its time). Returns the number of frames considered.
    /// `width` x `height` is the side-by-side frame's size.
    std::int64_t add_frames(FrameSource& source, int width, int height);

    /// Calibrates from the views kept; never throws for poor data (that is
    /// the verdict's job).
    BoardCalibrationResult calibrate() const;

    std::size_t views_considered() const { return _entries.size(); }

  private:
    struct View {
        std::vector<cv::Point2f> left, right;
    };
    struct Entry {
        std::string name;
        int view = -1;       ///< index into _views when kept
        std::string reason;  ///< why it was not kept
    };
    CalibrationBoard _board;
    BoardCalibrationOptions _options;
    std::vector<cv::Point3f> _object;
    cv::Size _size;
    std::vector<View> _views;
    std::vector<Entry> _entries;
};

/// Board views from image files: side-by-side pairs, or separate left and
/// right files matched by their order. std::invalid_argument when the lists
/// cannot be paired or a file does not read as an image.
KELVO_API void add_image_views(BoardCalibrator& calibrator,
                               const std::vector<std::filesystem::path>& pairs);
KELVO_API void add_image_views(BoardCalibrator& calibrator,
                               const std::vector<std::filesystem::path>& left,
                               const std::vector<std::filesystem::path>& right);

/// Files matching a glob pattern (`*`, `?`, `[...]` in the last part of the
/// path), sorted by name.
KELVO_API std::vector<std::filesystem::path> glob_files(const std::string& pattern);

/// Writes `dir`/report.json and, only when the result is good,
/// `dir`/calibration.json (the dictionary form a recording's base
/// calibration holds) and `dir`/calibration.yaml (OpenCV FileStorage). Each
/// file is written whole or not at all; a calibration file left from an
/// earlier run is removed when the new result is poor, so the folder never
/// holds a calibration the report does not vouch for.
KELVO_API void write_calibration_outputs(const BoardCalibrationResult& result,
                                         const std::filesystem::path& dir);

}  // namespace kelvo
