#include "kelvo/calibration.hpp"

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace kelvo {
namespace {

// Bounds of a plausible calibration: values beyond them come from a broken
// or hostile file and would give rectification maps of NaN.
constexpr int MAX_IMAGE_SIDE = 65536;
constexpr double MAX_PIXELS = 1e6;
constexpr double MAX_DISTORTION = 1e4;
constexpr double MAX_BASELINE_M = 1e3;
constexpr double ROTATION_TOLERANCE = 1e-3;

[[noreturn]] void malformed(const std::string& what) {
    throw std::invalid_argument("malformed calibration: " + what);
}

double number_at(const Json& value, const std::string& where) {
    if (!value.is_number()) malformed(where + " must be a number");
    const double v = value.get<double>();
    if (!std::isfinite(v)) malformed(where + " must be finite");
    return v;
}

const Json& member(const Json& object, const char* key, const std::string& where) {
    if (!object.is_object()) malformed(where + " must be an object");
    auto it = object.find(key);
    if (it == object.end()) malformed(where + " has no \"" + key + "\"");
    return *it;
}

cv::Matx33d matrix3(const Json& value, const std::string& where) {
    if (!value.is_array() || value.size() != 3) malformed(where + " must be a 3x3 list of rows");
    cv::Matx33d m;
    for (int r = 0; r < 3; ++r) {
        const Json& row = value[r];
        if (!row.is_array() || row.size() != 3) malformed(where + " must be a 3x3 list of rows");
        for (int c = 0; c < 3; ++c) {
            m(r, c) =
                number_at(row[c], where + "[" + std::to_string(r) + "][" + std::to_string(c) + "]");
        }
    }
    return m;
}

Calibration::Camera camera(const Json& value, const std::string& where) {
    Calibration::Camera cam;
    cam.camera_matrix = matrix3(member(value, "camera_matrix", where), where + ".camera_matrix");
    const Json& dist = member(value, "dist_coeffs", where);
    if (!dist.is_array()) malformed(where + ".dist_coeffs must be a list");
    const std::size_t n = dist.size();
    if (n != 0 && n != 4 && n != 5 && n != 8 && n != 12 && n != 14) {
        malformed(where + ".dist_coeffs must hold 0, 4, 5, 8, 12 or 14 numbers; got " +
                  std::to_string(n));
    }
    for (std::size_t i = 0; i < n; ++i) {
        cam.dist_coeffs.push_back(
            number_at(dist[i], where + ".dist_coeffs[" + std::to_string(i) + "]"));
    }
    const cv::Matx33d& k = cam.camera_matrix;
    if (k(0, 0) <= 0 || k(1, 1) <= 0)
        malformed(where + ".camera_matrix needs positive focal lengths");
    if (k(0, 0) > MAX_PIXELS || k(1, 1) > MAX_PIXELS || std::abs(k(0, 1)) > MAX_PIXELS ||
        std::abs(k(0, 2)) > MAX_PIXELS || std::abs(k(1, 2)) > MAX_PIXELS) {
        malformed(where + ".camera_matrix holds values beyond " + std::to_string(MAX_PIXELS) +
                  " pixels");
    }
    if (k(1, 0) != 0 || k(2, 0) != 0 || k(2, 1) != 0 || k(2, 2) != 1) {
        malformed(where + ".camera_matrix must be [[fx, s, cx], [0, fy, cy], [0, 0, 1]]");
    }
    for (std::size_t i = 0; i < cam.dist_coeffs.size(); ++i) {
        if (std::abs(cam.dist_coeffs[i]) > MAX_DISTORTION) {
            malformed(where + ".dist_coeffs[" + std::to_string(i) + "] lies beyond +-" +
                      std::to_string(static_cast<int>(MAX_DISTORTION)));
        }
    }
    return cam;
}

Json matrix_json(const cv::Matx33d& m) {
    Json rows = Json::array();
    for (int r = 0; r < 3; ++r) rows.push_back(Json::array({m(r, 0), m(r, 1), m(r, 2)}));
    return rows;
}

Json camera_json(const Calibration::Camera& cam) {
    Json j;
    j["camera_matrix"] = matrix_json(cam.camera_matrix);
    j["dist_coeffs"] = cam.dist_coeffs;
    return j;
}

cv::Matx33d scaled(const cv::Matx33d& k, double sx, double sy) {
    cv::Matx33d out = k;
    out(0, 0) *= sx;
    out(0, 1) *= sx;
    out(0, 2) *= sx;
    out(1, 1) *= sy;
    out(1, 2) *= sy;
    return out;
}

}  // namespace

cv::Mat Rectification::rectify(const cv::Mat& eye, bool right) const {
    cv::Mat out;
    cv::remap(eye, out, right ? fixed_right1 : fixed_left1, right ? fixed_right2 : fixed_left2,
              cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    return out;
}

Calibration::Calibration(HeightWidth image_size, Camera left, Camera right, cv::Matx33d R,
                         cv::Vec3d T, Json extra)
    : _image_size(image_size),
      _left(std::move(left)),
      _right(std::move(right)),
      _R(R),
      _T(T),
      _extra(std::move(extra)) {}

std::shared_ptr<const Calibration> Calibration::from_dict(const Json& dict) {
    if (!dict.is_object()) malformed("expected a JSON object");
    const Json& size = member(dict, "image_size", "calibration");
    if (!size.is_array() || size.size() != 2) malformed("image_size must be [width, height]");
    const double w = number_at(size[0], "image_size[0]");
    const double h = number_at(size[1], "image_size[1]");
    if (w <= 0 || h <= 0 || w != std::floor(w) || h != std::floor(h)) {
        malformed("image_size must hold two positive integers");
    }
    if (w > MAX_IMAGE_SIDE || h > MAX_IMAGE_SIDE) {
        malformed("image_size must not exceed " + std::to_string(MAX_IMAGE_SIDE) +
                  " pixels a side");
    }
    Camera left = camera(member(dict, "left", "calibration"), "left");
    Camera right = camera(member(dict, "right", "calibration"), "right");
    cv::Matx33d R = matrix3(member(dict, "R", "calibration"), "R");
    const cv::Matx33d off = R * R.t() - cv::Matx33d::eye();
    for (int i = 0; i < 9; ++i) {
        if (std::abs(off.val[i]) > ROTATION_TOLERANCE)
            malformed("R must be a rotation (orthonormal)");
    }
    if (cv::determinant(R) <= 0) malformed("R must be a rotation (determinant +1)");
    const Json& t = member(dict, "T", "calibration");
    if (!t.is_array() || t.size() != 3) malformed("T must be a list of 3 numbers");
    cv::Vec3d T(number_at(t[0], "T[0]"), number_at(t[1], "T[1]"), number_at(t[2], "T[2]"));
    if (cv::norm(T) <= 0) malformed("T must not be zero (no stereo baseline)");
    if (cv::norm(T) > MAX_BASELINE_M) {
        malformed("T must be a baseline of at most " +
                  std::to_string(static_cast<int>(MAX_BASELINE_M)) + " m");
    }
    // Appended, not looked up: an ordered object's lookup scans it, so
    // inserting by key would cost time quadratic in the number of keys.
    Json extra = Json::object();
    auto& members = extra.get_ref<Json::object_t&>();
    for (auto it = dict.begin(); it != dict.end(); ++it) {
        const std::string& key = it.key();
        if (key != "image_size" && key != "left" && key != "right" && key != "R" && key != "T") {
            members.emplace_back(key, it.value());
        }
    }
    return std::make_shared<const Calibration>(
        HeightWidth{static_cast<int>(h), static_cast<int>(w)}, std::move(left), std::move(right), R,
        T, std::move(extra));
}

Json Calibration::to_dict() const {
    Json j;
    j["image_size"] = Json::array({_image_size.width, _image_size.height});
    j["left"] = camera_json(_left);
    j["right"] = camera_json(_right);
    j["R"] = matrix_json(_R);
    j["T"] = Json::array({_T[0], _T[1], _T[2]});
    // The extra keys are distinct from the ones above and from each other.
    auto& members = j.get_ref<Json::object_t&>();
    for (auto it = _extra.begin(); it != _extra.end(); ++it)
        members.emplace_back(it.key(), it.value());
    return j;
}

std::shared_ptr<const Rectification> Calibration::rectification(HeightWidth eye_size) const {
    std::lock_guard lock(_rect_mutex);
    if (_rect_cache && _rect_cache->eye_size == eye_size) return _rect_cache;

    const double sx = static_cast<double>(eye_size.width) / _image_size.width;
    const double sy = static_cast<double>(eye_size.height) / _image_size.height;
    const cv::Matx33d k1 = scaled(_left.camera_matrix, sx, sy);
    const cv::Matx33d k2 = scaled(_right.camera_matrix, sx, sy);
    const cv::Size size(eye_size.width, eye_size.height);

    auto rect = std::make_shared<Rectification>();
    rect->eye_size = eye_size;
    cv::Mat d1(_left.dist_coeffs, true), d2(_right.dist_coeffs, true);
    cv::stereoRectify(cv::Mat(k1), d1, cv::Mat(k2), d2, size, cv::Mat(_R), cv::Mat(_T), rect->R1,
                      rect->R2, rect->P1, rect->P2, rect->Q, cv::CALIB_ZERO_DISPARITY, -1, size);
    cv::initUndistortRectifyMap(cv::Mat(k1), d1, rect->R1, rect->P1, size, CV_32FC1,
                                rect->map_left_x, rect->map_left_y);
    cv::initUndistortRectifyMap(cv::Mat(k2), d2, rect->R2, rect->P2, size, CV_32FC1,
                                rect->map_right_x, rect->map_right_y);
    cv::convertMaps(rect->map_left_x, rect->map_left_y, rect->fixed_left1, rect->fixed_left2,
                    CV_16SC2);
    cv::convertMaps(rect->map_right_x, rect->map_right_y, rect->fixed_right1, rect->fixed_right2,
                    CV_16SC2);
    rect->K1 = cv::Mat(k1).clone();
    rect->K2 = cv::Mat(k2).clone();
    rect->D1 = d1;
    rect->D2 = d2;
    rect->fx = rect->P1.at<double>(0, 0);
    rect->fy = rect->P1.at<double>(1, 1);
    rect->cx = rect->P1.at<double>(0, 2);
    rect->cy = rect->P1.at<double>(1, 2);
    rect->baseline_m = cv::norm(_T);
    _rect_cache = rect;
    return rect;
}

CalibrationPtr load_calibration_file(const std::filesystem::path& path) {
    // A calibration is a few kilobytes; a larger file is not one, and is not read.
    constexpr std::uintmax_t MAX_BYTES = 1 << 20;
    const std::string name = path.string();
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || !std::filesystem::is_regular_file(path, ec)) {
        throw std::invalid_argument("calibration file " + name + " cannot be read");
    }
    if (size > MAX_BYTES) {
        throw std::invalid_argument("calibration file " + name +
                                    " is too large to be a calibration (" + std::to_string(size) +
                                    " bytes)");
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) throw std::invalid_argument("calibration file " + name + " cannot be read");
    Json dict;
    try {
        dict = Json::parse(text.str());
    } catch (const std::exception& e) {
        throw std::invalid_argument("calibration file " + name + " is not JSON: " + e.what());
    }
    try {
        return Calibration::from_dict(dict);
    } catch (const std::exception& e) {
        throw std::invalid_argument("calibration file " + name +
                                    " is not a calibration: " + e.what());
    }
}

}  // namespace kelvo
