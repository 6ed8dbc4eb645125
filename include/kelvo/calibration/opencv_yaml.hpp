// A calibration as an OpenCV FileStorage YAML file: K1 D1 K2 D2 R T as
// cv::stereoRectify takes them, R1 R2 P1 P2 Q as it gives them (P1/P2 are
// what ROS camera_info calls P). One writer for `kelvo calibration` and
// `kelvo calibrate`.
#pragma once

#include <string>

#include "kelvo/calibration.hpp"
#include "kelvo/export.hpp"

namespace kelvo {

/// The YAML text; `comment` (one line) goes at its top.
KELVO_API std::string calibration_opencv_yaml(const Calibration& calibration,
                                              const std::string& comment);

}  // namespace kelvo
