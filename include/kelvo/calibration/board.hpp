// Calibration boards: what a board looks like (a chessboard's inner corners,
// or a ChArUco board's squares and marker dictionary), its corners in board
// coordinates, and finding the whole board in one image.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo {

struct KELVO_API CalibrationBoard {
    enum class Kind { chessboard, charuco };
    Kind kind = Kind::chessboard;
    /// Chessboard: inner corners across and down. ChArUco: squares across
    /// and down, as OpenCV counts them.
    int cols = 0, rows = 0;
    std::string dictionary;  ///< ChArUco only: an OpenCV dictionary name ("DICT_5X5_100")
    double square_m = 0;     ///< side of one square
    double marker_m = 0;     ///< ChArUco only: side of one marker

    /// "chessboard:COLSxROWS" or "charuco:COLSxROWS:DICT" with the sizes in
    /// metres; std::invalid_argument naming what is wrong (an unknown kind or
    /// dictionary, a size that is not a positive finite number, a marker not
    /// smaller than the square).
    static CalibrationBoard parse(std::string_view spec, double square_m,
                                  std::optional<double> marker_m = std::nullopt);

    /// The corners a whole view shows, in board coordinates (metres, z = 0,
    /// the origin at the outer corner of the first square), in the order
    /// find() gives them.
    std::vector<cv::Point3f> object_points() const;
    /// The number of corners of a whole view.
    int corner_count() const;
    /// The board's corners in `grey` (CV_8U), refined to sub-pixel accuracy;
    /// nothing unless every corner is seen.
    std::optional<std::vector<cv::Point2f>> find(const cv::Mat& grey) const;
    /// Renders the board `pixels_per_square` pixels a square with a white
    /// margin of one square (so board point (X, Y) lies at pixel
    /// ((X / square_m + 1) * p, (Y / square_m + 1) * p)): for printing, and
    /// for tests with known truth.
    cv::Mat render(int pixels_per_square) const;
    /// The board's outer size in metres (squares only, without the margin).
    cv::Size2d size_m() const;
};

/// OpenCV's names of its predefined ArUco dictionaries, in its order.
KELVO_API const std::vector<std::string>& aruco_dictionary_names();

}  // namespace kelvo
