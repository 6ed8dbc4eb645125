#include <algorithm>
#include <cmath>

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
