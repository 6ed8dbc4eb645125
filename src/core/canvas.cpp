#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/calibration.hpp"

namespace kelvo {

CanvasLayout fit_layout(HeightWidth source, HeightWidth canvas) {
    CanvasLayout layout;
    layout.canvas_w = canvas.width;
    layout.canvas_h = canvas.height;
    layout.source_w = source.width;
    layout.source_h = source.height;
    if (source.width <= 0 || source.height <= 0) return layout;
    layout.scale = std::min(static_cast<double>(canvas.width) / source.width,
                            static_cast<double>(canvas.height) / source.height);
    layout.valid_w =
        std::clamp(static_cast<int>(std::lround(source.width * layout.scale)), 1, canvas.width);
    layout.valid_h =
        std::clamp(static_cast<int>(std::lround(source.height * layout.scale)), 1, canvas.height);
    layout.pad_x = (canvas.width - layout.valid_w) / 2;
    layout.pad_y = (canvas.height - layout.valid_h) / 2;
    return layout;
}

CanvasLayout shrunk_layout(HeightWidth source, int width) {
    if (width <= 0 || width >= source.width) width = source.width;
    CanvasLayout layout = fit_layout(source, {source.height, width});
    layout.canvas_h = layout.valid_h;
    layout.pad_y = 0;
    return layout;
}

cv::Mat fit_into_canvas(const cv::Mat& image, const CanvasLayout& layout) {
    cv::Mat canvas = cv::Mat::zeros(layout.canvas_h, layout.canvas_w, image.type());
    cv::Mat roi = canvas(cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
    if (image.cols == layout.valid_w && image.rows == layout.valid_h) {
        image.copyTo(roi);
    } else {
        const int interp = layout.scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR;
        cv::resize(image, roi, roi.size(), 0, 0, interp);
    }
    return canvas;
}

cv::Mat map_to_source(const cv::Mat& valid_map, const CanvasLayout& layout,
                      bool values_scale_with_width) {
    if (valid_map.empty() || layout.source_w <= 0 || layout.source_h <= 0) return valid_map;
    cv::Mat out;
    if (valid_map.cols == layout.source_w && valid_map.rows == layout.source_h) {
        out = valid_map.clone();
    } else {
        // Nearest keeps invalid (NaN) pixels from bleeding into their neighbours.
        cv::resize(valid_map, out, cv::Size(layout.source_w, layout.source_h), 0, 0,
                   cv::INTER_NEAREST);
    }
    if (values_scale_with_width && valid_map.cols > 0) {
        out *= static_cast<double>(layout.source_w) / valid_map.cols;
    }
    return out;
}

}  // namespace kelvo

namespace kelvo {
namespace {

/// Camera pixels for every pixel of the canvas's valid region, for one eye.
void eye_canvas_map(const cv::Mat& K, const cv::Mat& D, const cv::Mat& R, const cv::Mat& P,
                    const CanvasLayout& layout, int reduction, cv::Mat& map1, cv::Mat& map2) {
    // A canvas pixel u of the valid region samples the rectified pixel that
    // a resize by sx would take it from: u = sx * x + (sx - 1) / 2.
    const double sx = static_cast<double>(layout.valid_w) / layout.source_w;
    const double sy = static_cast<double>(layout.valid_h) / layout.source_h;
    const cv::Matx33d to_canvas(sx, 0, 0.5 * (sx - 1), 0, sy, 0.5 * (sy - 1), 0, 0, 1);
    const cv::Matx33d p(P(cv::Rect(0, 0, 3, 3)));
    cv::Mat x, y;
    cv::initUndistortRectifyMap(K, D, R, cv::Mat(to_canvas * p),
                                cv::Size(layout.valid_w, layout.valid_h), CV_32FC1, x, y);
    if (reduction > 1) {
        // Pixel i of an image decoded r times smaller covers pixels
        // [i * r, (i + 1) * r) of the full one.
        const double r = reduction;
        x.convertTo(x, CV_32F, 1.0 / r, 0.5 / r - 0.5);
        y.convertTo(y, CV_32F, 1.0 / r, 0.5 / r - 0.5);
    }
    cv::convertMaps(x, y, map1, map2, CV_16SC2);
}

}  // namespace

cv::Mat CanvasMaps::fit(const cv::Mat& eye, bool right) const {
    const cv::Mat& map1 = right ? right1 : left1;
    const cv::Mat& map2 = right ? right2 : left2;
    if (layout.valid_w == layout.canvas_w && layout.valid_h == layout.canvas_h) {
        // No border to keep black: the remap writes every pixel.
        cv::Mat out;
        cv::remap(eye, out, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
        return out;
    }
    cv::Mat canvas = cv::Mat::zeros(layout.canvas_h, layout.canvas_w, eye.type());
    cv::Mat roi = canvas(cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
    cv::remap(eye, roi, map1, map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    return canvas;
}

int decode_reduction(int width, int height, const CanvasLayout& layout) {
    int best = 1;
    for (const int r : {2, 4, 8}) {
        if (width % (2 * r) == 0 && height % r == 0 && layout.valid_w * r <= width / 2 &&
            layout.valid_h * r <= height) {
            best = r;
        }
    }
    return best;
}

CanvasMaps canvas_maps(const Rectification& rect, const CanvasLayout& layout, int reduction) {
    CanvasMaps maps;
    maps.layout = layout;
    maps.reduction = reduction;
    eye_canvas_map(rect.K1, rect.D1, rect.R1, rect.P1, layout, reduction, maps.left1, maps.left2);
    eye_canvas_map(rect.K2, rect.D2, rect.R2, rect.P2, layout, reduction, maps.right1, maps.right2);
    return maps;
}

}  // namespace kelvo
