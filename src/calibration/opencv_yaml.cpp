#include "kelvo/calibration/opencv_yaml.hpp"

#include <opencv2/core/persistence.hpp>

namespace kelvo {

std::string calibration_opencv_yaml(const Calibration& calibration, const std::string& comment) {
    const HeightWidth size = calibration.image_size();
    const auto r = calibration.rectification(size);
    const cv::Mat k1(calibration.left().camera_matrix), k2(calibration.right().camera_matrix);
    const cv::Mat d1(calibration.left().dist_coeffs, true),
        d2(calibration.right().dist_coeffs, true);
    const cv::Mat rotation(calibration.R()), translation(calibration.T());
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
    fs.writeComment(comment);
    fs << "image_width" << size.width << "image_height" << size.height;
    fs << "K1" << k1 << "D1" << d1.reshape(1, 1) << "K2" << k2 << "D2" << d2.reshape(1, 1);
    fs << "R" << rotation << "T" << translation;
    fs << "R1" << r->R1 << "R2" << r->R2 << "P1" << r->P1 << "P2" << r->P2 << "Q" << r->Q;
    return fs.releaseAndGetString();
}

}  // namespace kelvo
