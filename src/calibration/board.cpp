#include "kelvo/calibration/board.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <opencv2/aruco/charuco.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

namespace kelvo {
namespace board {

std::optional<double> positive(std::optional<double> v) {
    if (!v || !std::isfinite(*v) || *v <= 0) return std::nullopt;
    return v;
}

/// "COLSxROWS" with both at least `minimum`.
std::pair<int, int> parse_grid(std::string_view text, int minimum, std::string_view what) {
    const auto x = text.find('x');
    const auto number = [&](std::string_view part) {
        int v = 0;
        if (part.empty() || part.size() > 4) return -1;
        for (char c : part) {
            if (c < '0' || c > '9') return -1;
            v = v * 10 + (c - '0');
        }
        return v;
    };
    if (x != std::string_view::npos) {
        const int cols = number(text.substr(0, x)), rows = number(text.substr(x + 1));
        if (cols >= minimum && rows >= minimum) return {cols, rows};
    }
    throw std::invalid_argument(fmt::format(
        "board size must be COLSxROWS ({}), each at least {}; got '{}'", what, minimum, text));
}

cv::Ptr<cv::aruco::CharucoBoard> charuco_of(const CalibrationBoard& b) {
    const auto& names = aruco_dictionary_names();
    const auto id = std::find(names.begin(), names.end(), b.dictionary) - names.begin();
    auto dict = cv::aruco::getPredefinedDictionary(static_cast<int>(id));
    return cv::aruco::CharucoBoard::create(b.cols, b.rows, static_cast<float>(b.square_m),
                                           static_cast<float>(b.marker_m), dict);
}

}  // namespace board

const std::vector<std::string>& aruco_dictionary_names() {
    static const std::vector<std::string> names = {
        "DICT_4X4_50",         "DICT_4X4_100",       "DICT_4X4_250",       "DICT_4X4_1000",
        "DICT_5X5_50",         "DICT_5X5_100",       "DICT_5X5_250",       "DICT_5X5_1000",
        "DICT_6X6_50",         "DICT_6X6_100",       "DICT_6X6_250",       "DICT_6X6_1000",
        "DICT_7X7_50",         "DICT_7X7_100",       "DICT_7X7_250",       "DICT_7X7_1000",
        "DICT_ARUCO_ORIGINAL", "DICT_APRILTAG_16h5", "DICT_APRILTAG_25h9", "DICT_APRILTAG_36h10",
        "DICT_APRILTAG_36h11"};
    return names;
}

CalibrationBoard CalibrationBoard::parse(std::string_view spec, double square_m,
                                         std::optional<double> marker_m) {
    CalibrationBoard b;
    const auto colon = spec.find(':');
    const std::string_view kind = spec.substr(0, colon);
    const std::string_view rest =
        colon == std::string_view::npos ? std::string_view() : spec.substr(colon + 1);
    if (!board::positive(square_m)) {
        throw std::invalid_argument(
            fmt::format("the square size must be a positive number of metres; got {}", square_m));
    }
    b.square_m = square_m;
    if (kind == "chessboard") {
        b.kind = Kind::chessboard;
        std::tie(b.cols, b.rows) = board::parse_grid(rest, 2, "inner corners");
        if (marker_m) {
            throw std::invalid_argument("a marker size is for ChArUco boards only");
        }
        return b;
    }
    if (kind == "charuco") {
        b.kind = Kind::charuco;
        const auto colon2 = rest.find(':');
        if (colon2 == std::string_view::npos) {
            throw std::invalid_argument(fmt::format(
                "a ChArUco board is charuco:COLSxROWS:DICT (DICT e.g. DICT_5X5_100); got '{}'",
                spec));
        }
        std::tie(b.cols, b.rows) = board::parse_grid(rest.substr(0, colon2), 3, "squares");
        b.dictionary = std::string(rest.substr(colon2 + 1));
        const auto& names = aruco_dictionary_names();
        if (std::find(names.begin(), names.end(), b.dictionary) == names.end()) {
            throw std::invalid_argument(fmt::format("unknown ArUco dictionary '{}' (one of {})",
                                                    b.dictionary, fmt::join(names, ", ")));
        }
        if (!board::positive(marker_m)) {
            throw std::invalid_argument(
                "a ChArUco board needs the marker size, a positive number of metres");
        }
        if (*marker_m >= square_m) {
            throw std::invalid_argument(fmt::format(
                "the marker ({} m) must be smaller than the square ({} m)", *marker_m, square_m));
        }
        b.marker_m = *marker_m;
        const int markers = (b.cols * b.rows) / 2;
        const int available = board::charuco_of(b)->dictionary->bytesList.rows;
        if (markers > available) {
            throw std::invalid_argument(
                fmt::format("a {}x{} ChArUco board needs {} markers; {} holds {}", b.cols, b.rows,
                            markers, b.dictionary, available));
        }
        return b;
    }
    throw std::invalid_argument(fmt::format(
        "unknown board '{}': give chessboard:COLSxROWS or charuco:COLSxROWS:DICT", spec));
}

int CalibrationBoard::corner_count() const {
    return kind == Kind::chessboard ? cols * rows : (cols - 1) * (rows - 1);
}

std::vector<cv::Point3f> CalibrationBoard::object_points() const {
    std::vector<cv::Point3f> points;
    if (kind == Kind::charuco) return board::charuco_of(*this)->chessboardCorners;
    const auto s = static_cast<float>(square_m);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < cols; ++x) points.emplace_back((x + 1) * s, (y + 1) * s, 0.f);
    }
    return points;
}

cv::Size2d CalibrationBoard::size_m() const {
    const int squares_x = kind == Kind::chessboard ? cols + 1 : cols;
    const int squares_y = kind == Kind::chessboard ? rows + 1 : rows;
    return {squares_x * square_m, squares_y * square_m};
}

std::optional<std::vector<cv::Point2f>> CalibrationBoard::find(const cv::Mat& grey) const {
    CV_Assert(grey.type() == CV_8UC1);
    std::vector<cv::Point2f> corners;
    if (kind == Kind::chessboard) {
        const cv::Size pattern(cols, rows);
        if (!cv::findChessboardCornersSB(grey, pattern, corners, cv::CALIB_CB_NORMALIZE_IMAGE)) {
            return std::nullopt;
        }
        // The detector may start from either end of a board that looks the
        // same turned half round; one order for both eyes keeps the pairs
        // matched (the reversed grid is the same board turned, a valid pose).
        if (corners.front().y > corners.back().y ||
            (corners.front().y == corners.back().y && corners.front().x > corners.back().x)) {
            std::reverse(corners.begin(), corners.end());
        }
        // The refinement window stays inside the squares around each corner.
        double spacing = 1e9;
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x + 1 < cols; ++x) {
                spacing =
                    std::min(spacing, cv::norm(corners[y * cols + x + 1] - corners[y * cols + x]));
            }
        }
        const int half = std::clamp(static_cast<int>(spacing * 0.3), 2, 7);
        cv::cornerSubPix(
            grey, corners, cv::Size(half, half), cv::Size(-1, -1),
            cv::TermCriteria(cv::TermCriteria::EPS + cv::TermCriteria::COUNT, 40, 0.001));
        return corners;
    }
    const auto charuco = board::charuco_of(*this);
    std::vector<int> ids;
    std::vector<std::vector<cv::Point2f>> markers;
    cv::aruco::detectMarkers(grey, charuco->dictionary, markers, ids);
    if (ids.empty()) return std::nullopt;
    std::vector<int> corner_ids;
    cv::aruco::interpolateCornersCharuco(markers, ids, grey, charuco, corners, corner_ids);
    if (static_cast<int>(corner_ids.size()) != corner_count()) return std::nullopt;
    std::vector<cv::Point2f> ordered(corners.size());
    for (std::size_t i = 0; i < corner_ids.size(); ++i) {
        ordered[static_cast<std::size_t>(corner_ids[i])] = corners[i];
    }
    return ordered;
}

cv::Mat CalibrationBoard::render(int pixels_per_square) const {
    const int p = pixels_per_square;
    const cv::Size2d size = size_m();
    const int squares_x = static_cast<int>(std::lround(size.width / square_m));
    const int squares_y = static_cast<int>(std::lround(size.height / square_m));
    cv::Mat out(cv::Size((squares_x + 2) * p, (squares_y + 2) * p), CV_8UC1, cv::Scalar(255));
    if (kind == Kind::chessboard) {
        for (int y = 0; y < squares_y; ++y) {
            for (int x = 0; x < squares_x; ++x) {
                if ((x + y) % 2 == 0) {
                    out(cv::Rect((x + 1) * p, (y + 1) * p, p, p)).setTo(cv::Scalar(0));
                }
            }
        }
        return out;
    }
    cv::Mat inner;
    board::charuco_of(*this)->draw(cv::Size(squares_x * p, squares_y * p), inner, 0, 1);
    inner.copyTo(out(cv::Rect(p, p, squares_x * p, squares_y * p)));
    return out;
}

}  // namespace kelvo
