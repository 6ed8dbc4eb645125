// Test double of a camera: a FrameSource serving in-memory encoded frames,
// with an optional calibration that can change mid-run and an optional gate
// that releases frames one at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <cmath>
#include <limits>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "kelvo/sources/base.hpp"

namespace kelvo::testing {

/// Pipeline controls that hand out the back-end's own map: for tests that
/// compare it with the matcher called directly.
inline const std::vector<std::pair<std::string, int>> CHAIN_OFF = {{"post_chain", 0}};
/// The chain as it comes.
inline const std::vector<std::pair<std::string, int>> CHAIN_DEFAULTS = {};

inline std::vector<std::uint8_t> encode_jpeg(const cv::Mat& image, int quality = 95) {
    std::vector<std::uint8_t> out;
    cv::imencode(".jpg", image, out, {cv::IMWRITE_JPEG_QUALITY, quality});
    return out;
}

class MemorySource final : public FrameSource {
  public:
    MemorySource(std::vector<std::vector<std::uint8_t>> payloads, int width, int height,
                 CalibrationPtr calibration = nullptr)
        : _payloads(std::move(payloads)),
          _width(width),
          _height(height),
          _calibration(calibration) {}

    CameraInfo open() override {
        std::lock_guard lock(_mutex);
        ++_opens;
        CameraInfo info;
        info.os_id = "memory";
        info.camera_name = "memory source";
        info.width = _width;
        info.height = _height;
        info.fps = 30.0;
        return info;
    }
    /// The next payload, or null at the end (at once) or while the gate is shut (after `timeout`).
    FramePtr grab(double timeout) override {
        std::unique_lock lock(_mutex);
        if (_gated) {
            if (!_cv.wait_for(lock, std::chrono::duration<double>(timeout),
                              [&] { return _released > 0 || _next >= _payloads.size(); })) {
                return nullptr;
            }
            if (_next < _payloads.size()) --_released;
        }
        if (_next >= _payloads.size()) return nullptr;
        if (_switch_at && _next == *_switch_at) _calibration = _next_calibration;
        auto frame = std::make_shared<RawFrame>();
        frame->payload = _payloads[_next];
        frame->pts_us = static_cast<std::int64_t>(_next) * 33333;
        frame->sequence = static_cast<std::int64_t>(_next) + 1;
        frame->source_frame_idx = static_cast<std::int64_t>(_next);
        frame->calibration = _calibration;  // as a kit source attaches its own
        ++_next;
        return frame;
    }
    void close() override {
        std::lock_guard lock(_mutex);
        ++_closes;
    }
    std::vector<CameraControl> list_camera_controls() override { return {}; }
    /// Every payload handed out: grab() returns null for good.
    bool at_end() const override {
        std::lock_guard lock(_mutex);
        return _next >= _payloads.size();
    }
    bool is_live() const override { return false; }
    bool is_seekable() const override { return false; }
    std::optional<std::string> mode_slug() const override { return std::nullopt; }
    CalibrationPtr base_calibration() const override { return active_calibration(); }
    CalibrationPtr active_calibration() const override {
        std::lock_guard lock(_mutex);
        return _calibration;
    }
    std::optional<std::int64_t> t0_monotonic_ns() const override { return std::nullopt; }

    /// From frame `index` on, `calibration` is active.
    void switch_calibration_at(std::size_t index, CalibrationPtr calibration) {
        std::lock_guard lock(_mutex);
        _switch_at = index;
        _next_calibration = std::move(calibration);
    }
    /// Frames are then handed out only as `release` allows.
    void set_gated(bool gated) {
        std::lock_guard lock(_mutex);
        _gated = gated;
    }
    void release(int frames = 1) {
        std::lock_guard lock(_mutex);
        _released += frames;
        _cv.notify_all();
    }
    int opens() const {
        std::lock_guard lock(_mutex);
        return _opens;
    }
    int closes() const {
        std::lock_guard lock(_mutex);
        return _closes;
    }

  private:
    std::vector<std::vector<std::uint8_t>> _payloads;
    int _width, _height;
    mutable std::mutex _mutex;
    std::condition_variable _cv;
    CalibrationPtr _calibration;
    std::optional<std::size_t> _switch_at;
    CalibrationPtr _next_calibration;
    std::size_t _next = 0;
    bool _gated = false;
    int _released = 0;
    int _opens = 0, _closes = 0;
};

/// StereoBM parameters, defaults as the back-end declares them.
struct Params {
    int num_disparities = 96, block_size = 9, min_disparity = 0, pre_filter_type = 1,
        pre_filter_size = 9, pre_filter_cap = 31, texture_threshold = 10, uniqueness_ratio = 15,
        speckle_window_size = 100, speckle_range = 2, disp12_max_diff = -1;
};

/// OpenCV's own StereoBM configured with `p`.
inline cv::Ptr<cv::StereoBM> make_stereo_bm(const Params& p) {
    auto m = cv::StereoBM::create(p.num_disparities, p.block_size);
    m->setMinDisparity(p.min_disparity);
    m->setPreFilterType(p.pre_filter_type);
    m->setPreFilterSize(p.pre_filter_size);
    m->setPreFilterCap(p.pre_filter_cap);
    m->setTextureThreshold(p.texture_threshold);
    m->setUniquenessRatio(p.uniqueness_ratio);
    m->setSpeckleWindowSize(p.speckle_window_size);
    m->setSpeckleRange(p.speckle_range);
    m->setDisp12MaxDiff(p.disp12_max_diff);
    return m;
}

/// OpenCV's StereoBM on two grey canvases, cropped to the valid region and
/// scaled back to `eye` pixels (NaN = no estimate), as the pipeline documents it.
inline cv::Mat stereo_bm_on_canvas(const cv::Mat& cl, const cv::Mat& cr, const CanvasLayout& layout,
                                   HeightWidth eye, const Params& p) {
    cv::Mat fixed, disparity;
    make_stereo_bm(p)->compute(cl, cr, fixed);
    fixed.convertTo(disparity, CV_32F, 1.0 / 16);
    disparity.setTo(std::numeric_limits<float>::quiet_NaN(), fixed < p.min_disparity * 16);
    cv::Mat valid = disparity(cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
    cv::Mat out;
    cv::resize(valid, out, cv::Size(eye.width, eye.height), 0, 0, cv::INTER_NEAREST);
    return out * (static_cast<double>(eye.width) / layout.valid_w);
}

/// OpenCV's StereoBM on the canvas-fitted pair. A colour pair is fitted, then
/// made grey (the two-step way); a grey one is fitted as it is. `full_eye`:
/// the eye size the pair was decoded smaller from (the layout and the map
/// handed back are at that size).
inline cv::Mat direct_stereo_bm(const cv::Mat& sbs, HeightWidth canvas, const Params& p,
                                std::optional<HeightWidth> full_eye = std::nullopt) {
    const int w = sbs.cols / 2;
    const cv::Mat l = sbs(cv::Rect(0, 0, w, sbs.rows)), r = sbs(cv::Rect(w, 0, w, sbs.rows));
    const HeightWidth eye = full_eye.value_or(HeightWidth{sbs.rows, w});
    const auto layout = kelvo::fit_layout(eye, canvas);
    cv::Mat cl = kelvo::fit_into_canvas(l, layout), cr = kelvo::fit_into_canvas(r, layout);
    if (sbs.channels() == 3) {
        cv::cvtColor(cl, cl, cv::COLOR_BGR2GRAY);
        cv::cvtColor(cr, cr, cv::COLOR_BGR2GRAY);
    }
    return stereo_bm_on_canvas(cl, cr, layout, eye, p);
}

/// The calibration of `scene` with lens distortion and a small rotation
/// between the cameras, so rectification really moves pixels.
inline Json distorted_rotated_calibration_dict(const detail::SyntheticScene& scene) {
    Json dict = detail::synthetic_calibration_dict(scene);
    dict["left"]["dist_coeffs"] = Json::array({-0.08, 0.02, 0.0, 0.0, 0.0});
    dict["right"]["dist_coeffs"] = Json::array({-0.06, 0.01, 0.0, 0.0, 0.0});
    cv::Mat rvec = (cv::Mat_<double>(3, 1) << 0.004, 0.012, 0.009), R;
    cv::Rodrigues(rvec, R);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) dict["R"][r][c] = R.at<double>(r, c);
    }
    return dict;
}

/// The raw camera image that `rect` turns into `rectified` (one eye).
inline cv::Mat unrectify(const cv::Mat& rectified, const Calibration& calibration,
                         const Rectification& rect, bool right) {
    const auto& cam = right ? calibration.right() : calibration.left();
    std::vector<cv::Point2f> raw_points;
    for (int y = 0; y < rectified.rows; ++y) {
        for (int x = 0; x < rectified.cols; ++x) raw_points.emplace_back(x, y);
    }
    std::vector<cv::Point2f> rect_points;
    cv::undistortPoints(raw_points, rect_points, cv::Mat(cam.camera_matrix),
                        cv::Mat(cam.dist_coeffs), right ? rect.R2 : rect.R1,
                        right ? rect.P2 : rect.P1);
    cv::Mat map(rectified.size(), CV_32FC2, rect_points.data());
    cv::Mat raw;
    cv::remap(rectified, raw, map.clone(), cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    return raw;
}

/// Number of pixels where two maps differ (NaN equals NaN).
inline int differing(const cv::Mat& a, const cv::Mat& b) {
    if (a.size() != b.size() || a.type() != b.type()) return -1;
    int n = 0;
    for (int y = 0; y < a.rows; ++y) {
        for (int x = 0; x < a.cols; ++x) {
            const float u = a.at<float>(y, x), v = b.at<float>(y, x);
            const bool same = (std::isnan(u) && std::isnan(v)) || u == v;
            n += same ? 0 : 1;
        }
    }
    return n;
}

}  // namespace kelvo::testing
