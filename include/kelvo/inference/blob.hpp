// Network input blobs from images, with the semantics of OpenCV's
// cv::dnn::Image2BlobParams / blobFromImageWithParams (OpenCV >= 4.8). With
// an older OpenCV an equivalent of our own is used, chosen at compile time.
#pragma once

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo::detail {

/// Mirrors the fields of cv::dnn::Image2BlobParams that the back-ends use.
struct Image2BlobParams {
    /// Per-channel factor, in the blob's channel order (after swapRB).
    cv::Scalar scalefactor = cv::Scalar::all(1.0);
    /// Resize target (bilinear); (0, 0) keeps the image size.
    cv::Size size = cv::Size(0, 0);
    /// Per-channel mean subtracted before scaling, in the blob's channel order.
    cv::Scalar mean = cv::Scalar();
    /// Swap the first and third channels (BGR input to an RGB blob).
    bool swapRB = false;
    /// CV_32F, or CV_8U (which allows no mean and no scaling).
    int ddepth = CV_32F;
};

/// A (1, C, H, W) NCHW blob of `image`: per pixel and channel c,
/// (value[c] - mean[c]) * scalefactor[c], after the optional resize and swap.
/// OpenCV's own implementation when available.
KELVO_API cv::Mat blob_from_image_with_params(const cv::Mat& image, const Image2BlobParams& params);

/// The kit's equivalent, always built, so tests can hold it against OpenCV.
KELVO_API cv::Mat blob_from_image_equivalent(const cv::Mat& image, const Image2BlobParams& params);

/// True when `blob_from_image_with_params` uses OpenCV's own implementation.
KELVO_API bool opencv_has_blob_params();

}  // namespace kelvo::detail
