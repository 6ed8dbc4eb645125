// Network input blobs: OpenCV's blobFromImageWithParams when the OpenCV in
// use has it (4.8 and later), otherwise an equivalent with the same semantics.
#include "kelvo/inference/blob.hpp"

#include <stdexcept>
#include <vector>

#include <opencv2/core/version.hpp>
#include <opencv2/imgproc.hpp>

#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 8)
#define KELVO_OPENCV_BLOB_PARAMS 1
#else
#define KELVO_OPENCV_BLOB_PARAMS 0
#endif

#if KELVO_OPENCV_BLOB_PARAMS
#include <opencv2/dnn.hpp>
#endif

namespace kelvo::detail {

cv::Mat blob_from_image_equivalent(const cv::Mat& image, const Image2BlobParams& params) {
    if (image.empty()) throw std::invalid_argument("blob_from_image: the image is empty");
    if (image.dims != 2) throw std::invalid_argument("blob_from_image: the image must be 2-D");
    const int channels = image.channels();
    if (channels != 1 && channels != 3 && channels != 4) {
        throw std::invalid_argument("blob_from_image: the image must have 1, 3 or 4 channels");
    }
    if (params.ddepth != CV_32F && params.ddepth != CV_8U) {
        throw std::invalid_argument("blob_from_image: ddepth must be CV_32F or CV_8U");
    }
    if (params.ddepth == CV_8U &&
        (params.scalefactor != cv::Scalar::all(1.0) || params.mean != cv::Scalar())) {
        throw std::invalid_argument(
            "blob_from_image: scaling and mean subtraction need ddepth CV_32F");
    }

    // Resize first, in the image's own depth, as OpenCV does.
    cv::Mat resized = image;
    if (params.size != cv::Size(0, 0) && params.size != image.size()) {
        cv::resize(image, resized, params.size, 0, 0, cv::INTER_LINEAR);
    }
    const int h = resized.rows;
    const int w = resized.cols;

    std::vector<cv::Mat> planes;
    cv::split(resized, planes);
    if (params.swapRB && channels >= 3) std::swap(planes[0], planes[2]);

    const int blob_size[] = {1, channels, h, w};
    cv::Mat blob(4, blob_size, params.ddepth);
    for (int c = 0; c < channels; ++c) {
        // Plane c of the NCHW blob, written in place.
        cv::Mat target(h, w, params.ddepth, blob.ptr(0, c));
        if (params.ddepth == CV_8U) {
            planes[c].convertTo(target, CV_8U);
        } else {
            const double scale = params.scalefactor[c];
            planes[c].convertTo(target, CV_32F, scale, -params.mean[c] * scale);
        }
    }
    return blob;
}

cv::Mat blob_from_image_with_params(const cv::Mat& image, const Image2BlobParams& params) {
#if KELVO_OPENCV_BLOB_PARAMS
    cv::dnn::Image2BlobParams cv_params;
    cv_params.scalefactor = params.scalefactor;
    cv_params.size = params.size;
    cv_params.mean = params.mean;
    cv_params.swapRB = params.swapRB;
    cv_params.ddepth = params.ddepth;
    return cv::dnn::blobFromImageWithParams(image, cv_params);
#else
    return blob_from_image_equivalent(image, params);
#endif
}

bool opencv_has_blob_params() {
    return KELVO_OPENCV_BLOB_PARAMS != 0;
}

}  // namespace kelvo::detail
