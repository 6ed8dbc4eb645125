// A synthetic stereo scene with exact ground truth: textured fronto-parallel
// planes at known depths, rendered into a rectified pair. Used by `kelvo demo`,
// the tests and the benchmarks to measure what the pipeline gets right.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"

namespace kelvo::detail {

/// A rectangle of the left image filled by a plane at one depth.
struct SyntheticPlane {
    cv::Rect rect;               ///< in left-image pixels at frame 0
    double depth_m = 1.0;        ///< distance from the cameras
    int shift_px_per_frame = 0;  ///< horizontal motion (texture moves with it)
    std::uint32_t seed = 1;      ///< texture seed
    cv::Scalar tint{1, 1, 1};    ///< BGR gains of the texture
};

/// The plane textures of a scene, built once and reused by every render.
class SyntheticTextureCache;
KELVO_API std::shared_ptr<SyntheticTextureCache> make_synthetic_texture_cache();

struct SyntheticScene {
    HeightWidth eye_size{360, 640};
    double focal_px = 500.0;  ///< of both rectified cameras
    double baseline_m = 0.06;
    /// Back to front; the first covers the whole image.
    std::vector<SyntheticPlane> planes;
    /// Built on the first render and shared by copies of the scene; textures
    /// depend only on the eye size and a plane's seed, so edits to the scene
    /// never see stale ones.
    std::shared_ptr<SyntheticTextureCache> textures = make_synthetic_texture_cache();

    double disparity_of(const SyntheticPlane& plane) const {
        return focal_px * baseline_m / plane.depth_m;
    }
};

struct SyntheticFrame {
    cv::Mat left, right;   ///< CV_8UC3 rectified eyes
    cv::Mat side_by_side;  ///< left | right
    cv::Mat disparity;     ///< CV_32F ground truth of the left eye, pixels
    cv::Mat visible;       ///< CV_8U, 255 where the left pixel is also seen by the right camera
};

/// A background wall at 2.5 m and three textured boards at 1.25, 0.8 and 0.5 m
/// (disparities 12 to 60 px at the default focal length and baseline).
KELVO_API SyntheticScene default_synthetic_scene(HeightWidth eye_size = {360, 640});

/// Renders frame `index` (moving planes advance by their shift per frame).
KELVO_API SyntheticFrame render_synthetic_frame(const SyntheticScene& scene, int index = 0);

/// The scene's calibration in dictionary form: two identical pinhole cameras
/// without distortion, side by side at the baseline (T = (-baseline, 0, 0)),
/// so rectification leaves the rendered pair as it is.
KELVO_API Json synthetic_calibration_dict(const SyntheticScene& scene);

/// Accuracy of a disparity estimate (NaN = no estimate) against the truth.
struct DisparityScore {
    double end_point_error = 0;  ///< mean |estimate - truth| over valid estimates
    double bad_2px = 0;          ///< share of valid estimates off by more than 2 px
    double valid_share = 0;      ///< share of considered pixels with an estimate
    /// Over every considered pixel, a hole counted as disparity 0 (what "no
    /// estimate" tells a consumer: nothing nearby) or as wrong: a denser map
    /// is not judged by its valid pixels alone.
    double end_point_error_all = 0;
    double wrong_2px_all = 0;  ///< share of considered pixels off by > 2 px or without estimate
    std::int64_t valid = 0, considered = 0;
};

/// Scores `estimate` where `mask` (CV_8U, optional) is non-zero.
KELVO_API DisparityScore score_disparity(const cv::Mat& estimate, const cv::Mat& truth,
                                         const cv::Mat& mask = cv::Mat());

}  // namespace kelvo::detail
