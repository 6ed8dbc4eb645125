// Side-by-side JPEGs cut into their eyes and eyes joined into one, at the
// level of the JPEG's 8x8 coefficient blocks wherever the block grid allows
// (no decode, no re-encode: the pixels stay exactly what the camera sent);
// otherwise through pixels, re-encoded at the given quality.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo {

struct EyeJpegs {
    std::string left, right;
    bool left_lossless = false, right_lossless = false;
};

/// The two halves of a side-by-side JPEG. The left eye starts at column 0 and
/// is always cut block-exactly; the right one is when half the width is a
/// multiple of the JPEG's MCU width. std::invalid_argument for data that is
/// not a JPEG or whose width is odd.
KELVO_API EyeJpegs split_eyes(std::span<const std::uint8_t> jpeg, int quality);

struct JoinedJpeg {
    std::string jpeg;
    bool lossless = false;
};

/// One side-by-side JPEG from two eye JPEGs of the same size: block-exact
/// when both have the same components, sampling and quantisation tables and
/// the left eye's width is a multiple of the MCU width, else re-encoded.
KELVO_API JoinedJpeg join_eyes(std::span<const std::uint8_t> left,
                               std::span<const std::uint8_t> right, int quality);

/// Two decoded eyes (8-bit BGR or grey, the same size) as one side-by-side JPEG.
KELVO_API std::string join_images(const cv::Mat& left, const cv::Mat& right, int quality);

/// Any image OpenCV decodes (JPEG, PNG), as 8-bit BGR; std::invalid_argument
/// when it does not decode.
KELVO_API cv::Mat decode_image(std::span<const std::uint8_t> data);

}  // namespace kelvo
