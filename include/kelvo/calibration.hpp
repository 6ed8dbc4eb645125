// Stereo calibration model with cached rectification, and the canvas fitting
// that places a rectified image inside a back-end's fixed input size.
#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"

namespace kelvo {

/// A (height, width) pair; never `cv::Size` (width first) in an interface.
struct HeightWidth {
    int height = 0;
    int width = 0;
    bool operator==(const HeightWidth&) const = default;
};

/// Rectification of one stereo pair at one image size.
struct KELVO_API Rectification {
    HeightWidth eye_size;
    cv::Mat map_left_x, map_left_y, map_right_x, map_right_y;  ///< CV_32FC1 remap tables
    /// The same tables in OpenCV's fixed-point form (CV_16SC2 and CV_16UC1),
    /// built once here because remapping with them is much faster.
    cv::Mat fixed_left1, fixed_left2, fixed_right1, fixed_right2;
    cv::Mat R1, R2, P1, P2, Q;
    cv::Mat K1, D1, K2, D2;  ///< both cameras' intrinsics and distortion at this eye size
    double fx = 0, fy = 0, cx = 0, cy = 0;  ///< rectified left camera
    double baseline_m = 0;                  ///< distance between the rectified centres

    /// Remaps one eye (bilinear, black outside) with the fixed-point tables;
    /// `right` selects the right camera's tables.
    cv::Mat rectify(const cv::Mat& eye, bool right) const;
};

/// A stereo calibration. Immutable once built; rectification is computed
/// lazily per image size and cached (thread-safe), as building it is expensive.
class KELVO_API Calibration {
  public:
    struct Camera {
        cv::Matx33d camera_matrix;
        std::vector<double> dist_coeffs;
    };

    Calibration(HeightWidth image_size, Camera left, Camera right, cv::Matx33d R, cv::Vec3d T,
                Json extra = Json::object());

    /// Builds from the dictionary form; malformed input raises std::invalid_argument.
    static std::shared_ptr<const Calibration> from_dict(const Json& dict);
    /// The dictionary form, unknown keys of the input kept.
    Json to_dict() const;

    HeightWidth image_size() const { return _image_size; }
    const Camera& left() const { return _left; }
    const Camera& right() const { return _right; }
    const cv::Matx33d& R() const { return _R; }
    const cv::Vec3d& T() const { return _T; }

    /// Rectification for eyes of `eye_size` (intrinsics scaled when it differs
    /// from the calibrated size). Cached for the last size asked for.
    std::shared_ptr<const Rectification> rectification(HeightWidth eye_size) const;

  private:
    HeightWidth _image_size;
    Camera _left, _right;
    cv::Matx33d _R;
    cv::Vec3d _T;
    Json _extra;

    mutable std::mutex _rect_mutex;
    mutable std::shared_ptr<const Rectification> _rect_cache;
};

using CalibrationPtr = std::shared_ptr<const Calibration>;

/// A calibration file in the kit's JSON (the dictionary form, as `kelvo
/// calibrate` writes calibration.json). std::invalid_argument naming the
/// file when it cannot be read, is larger than a calibration can be, is not
/// JSON or is not a calibration.
KELVO_API CalibrationPtr load_calibration_file(const std::filesystem::path& path);

/// Where an image lies inside an inference canvas.
struct CanvasLayout {
    int canvas_w = 0, canvas_h = 0;
    int pad_x = 0, pad_y = 0;      ///< offset of the image region
    int valid_w = 0, valid_h = 0;  ///< size of the image region
    double scale = 1.0;            ///< image pixels to canvas pixels
    int source_w = 0, source_h = 0;
    bool operator==(const CanvasLayout&) const = default;
};

/// Remap tables that take one eye's camera pixels straight to the valid
/// region of a canvas: rectification and canvas fit in one `cv::remap`, so
/// the full-size rectified eye is never built. Canvas pixels sample the
/// rectified image where a bilinear resize of it would (pixel centres
/// aligned); `reduction` is the factor the camera image was decoded smaller
/// by (1, 2, 4 or 8, libjpeg's scaled decoding), whose pixel centres lie at
/// the middle of the blocks they average.
struct KELVO_API CanvasMaps {
    CanvasLayout layout;
    int reduction = 1;
    /// Fixed-point tables (CV_16SC2, CV_16UC1) of the valid region's size.
    cv::Mat left1, left2, right1, right2;

    /// One eye (decoded `reduction` times smaller) remapped into a black
    /// canvas (bilinear, black where the camera saw nothing).
    cv::Mat fit(const cv::Mat& eye, bool right) const;
};

/// The largest factor (2, 4 or 8) a `width` x `height` side-by-side frame
/// can be decoded smaller by while its eyes still hold at least the canvas's
/// valid region (so no detail the canvas shows is lost) and split evenly;
/// 1 when none can.
KELVO_API int decode_reduction(int width, int height, const CanvasLayout& layout);

/// The canvas tables of `rect` for `layout` (whose source is `rect`'s eye size).
KELVO_API CanvasMaps canvas_maps(const Rectification& rect, const CanvasLayout& layout,
                                 int reduction = 1);

/// The layout that fits a `source` image into `canvas`, keeping its aspect
/// ratio and centring it (letterbox).
KELVO_API CanvasLayout fit_layout(HeightWidth source, HeightWidth canvas);

/// The layout of `source` shown `width` pixels wide: the aspect kept, the
/// canvas exactly the image (no padding); the whole source when `width` is
/// not positive or not smaller.
KELVO_API CanvasLayout shrunk_layout(HeightWidth source, int width);
/// Resizes `image` into a black canvas of the layout's size (CV_8UC3 or as given).
KELVO_API cv::Mat fit_into_canvas(const cv::Mat& image, const CanvasLayout& layout);
/// Crops a canvas-sized map to the valid region and scales it back to the
/// source size; with `values_scale_with_width`, values (disparities) are
/// scaled by source/canvas width as well.
KELVO_API cv::Mat map_to_source(const cv::Mat& valid_map, const CanvasLayout& layout,
                                bool values_scale_with_width);

}  // namespace kelvo
