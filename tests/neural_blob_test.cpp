// Input blobs: the kit's equivalent of blobFromImageWithParams against values
// computed by hand and against OpenCV's own blob functions.
#include <gtest/gtest.h>

#include <opencv2/core/version.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/inference/blob.hpp"

namespace {

using kelvo::detail::blob_from_image_equivalent;
using kelvo::detail::blob_from_image_with_params;
using kelvo::detail::Image2BlobParams;

/// Reference: the documented formula, pixel by pixel, without OpenCV's help.
cv::Mat reference_blob(const cv::Mat& bgr, const Image2BlobParams& p) {
    const int ch = bgr.channels();
    const int sizes[] = {1, ch, bgr.rows, bgr.cols};
    cv::Mat blob(4, sizes, CV_32F);
    for (int c = 0; c < ch; ++c) {
        const int source = (p.swapRB && ch >= 3 && c != 1 && c < 3) ? 2 - c : c;
        for (int y = 0; y < bgr.rows; ++y) {
            for (int x = 0; x < bgr.cols; ++x) {
                const double v = bgr.ptr<uchar>(y)[x * ch + source];
                blob.at<float>(cv::Vec4i(0, c, y, x)) =
                    static_cast<float>((v - p.mean[c]) * p.scalefactor[c]);
            }
        }
    }
    return blob;
}

cv::Mat random_image(int rows, int cols, int type, int seed) {
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

double max_abs_diff(const cv::Mat& a, const cv::Mat& b) {
    EXPECT_EQ(a.dims, b.dims);
    for (int i = 0; i < a.dims; ++i) EXPECT_EQ(a.size[i], b.size[i]) << "axis " << i;
    return cv::norm(a.reshape(1, 1), b.reshape(1, 1), cv::NORM_INF);
}

struct FormulaCase {
    const char* name;
    int type;
    cv::Scalar scale;
    cv::Scalar mean;
    bool swap;
};

class BlobFormula : public ::testing::TestWithParam<FormulaCase> {};

TEST_P(BlobFormula, EquivalentMatchesHandComputedValues) {
    const auto& c = GetParam();
    Image2BlobParams params;
    params.scalefactor = c.scale;
    params.mean = c.mean;
    params.swapRB = c.swap;
    const cv::Mat image = random_image(7, 9, c.type, 11);
    const cv::Mat expected = reference_blob(image, params);
    const cv::Mat blob = blob_from_image_equivalent(image, params);
    EXPECT_EQ(blob.type(), CV_32F);
    EXPECT_TRUE(blob.isContinuous());
    EXPECT_LE(max_abs_diff(blob, expected), 1e-5);
    // Whichever implementation the build selected gives the same numbers.
    EXPECT_LE(max_abs_diff(blob_from_image_with_params(image, params), expected), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlobFormula,
    ::testing::Values(
        FormulaCase{"imagenet_rgb", CV_8UC3, cv::Scalar(1 / 58.395, 1 / 57.12, 1 / 57.375, 0),
                    cv::Scalar(123.675, 116.28, 103.53, 0), true},
        FormulaCase{"imagenet_bgr", CV_8UC3, cv::Scalar(0.5, 0.25, 2.0, 0),
                    cv::Scalar(10, 20, 30, 0), false},
        FormulaCase{"raw_pixels", CV_8UC3, cv::Scalar(1, 1, 1, 0), cv::Scalar(), true},
        FormulaCase{"grey", CV_8UC1, cv::Scalar(1 / 255.0), cv::Scalar(128), false},
        FormulaCase{"bgra", CV_8UC4, cv::Scalar(1, 2, 3, 4), cv::Scalar(1, 2, 3, 4), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Blob, BlackAndBlueCanvasesGiveTheDocumentedValues) {
    Image2BlobParams params;
    params.scalefactor = cv::Scalar(1 / 58.395, 1 / 57.12, 1 / 57.375, 0);
    params.mean = cv::Scalar(123.675, 116.28, 103.53, 0);
    params.swapRB = true;
    const cv::Mat black(4, 6, CV_8UC3, cv::Scalar(0, 0, 0));
    const cv::Mat blue(4, 6, CV_8UC3, cv::Scalar(255, 0, 0));  // BGR
    const cv::Mat b = blob_from_image_equivalent(black, params);
    const cv::Mat u = blob_from_image_equivalent(blue, params);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            EXPECT_NEAR(b.at<float>(cv::Vec4i(0, 0, y, x)), -2.1179, 1e-4);
            EXPECT_NEAR(b.at<float>(cv::Vec4i(0, 1, y, x)), -2.0357, 1e-4);
            EXPECT_NEAR(b.at<float>(cv::Vec4i(0, 2, y, x)), -1.8044, 1e-4);
            EXPECT_NEAR(u.at<float>(cv::Vec4i(0, 0, y, x)), -2.1179, 1e-4);
            EXPECT_NEAR(u.at<float>(cv::Vec4i(0, 1, y, x)), -2.0357, 1e-4);
            EXPECT_NEAR(u.at<float>(cv::Vec4i(0, 2, y, x)), 2.64, 1e-4);
        }
    }
}

// With one factor for all channels, OpenCV's long-standing blobFromImage has
// the same semantics (mean in the swapped order, resize before conversion).
struct ResizeCase {
    const char* name;
    cv::Size size;
    bool swap;
};

class BlobAgainstOpenCV : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(BlobAgainstOpenCV, UniformScaleMatchesBlobFromImage) {
    const auto& c = GetParam();
    const cv::Mat image = random_image(24, 40, CV_8UC3, 5);
    Image2BlobParams params;
    params.scalefactor = cv::Scalar::all(0.0125);
    params.mean = cv::Scalar(100, 50, 25);
    params.swapRB = c.swap;
    params.size = c.size;
    const cv::Mat ours = blob_from_image_equivalent(image, params);
    const cv::Mat theirs =
        cv::dnn::blobFromImage(image, 0.0125, c.size, cv::Scalar(100, 50, 25), c.swap, false);
    EXPECT_LE(max_abs_diff(ours, theirs), 1e-5);
    const int expected_h = c.size.height ? c.size.height : 24;
    const int expected_w = c.size.width ? c.size.width : 40;
    EXPECT_EQ(ours.size[2], expected_h);
    EXPECT_EQ(ours.size[3], expected_w);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlobAgainstOpenCV,
                         ::testing::Values(ResizeCase{"no_resize", cv::Size(0, 0), true},
                                           ResizeCase{"same_size", cv::Size(40, 24), false},
                                           ResizeCase{"down", cv::Size(20, 12), true},
                                           ResizeCase{"up_odd", cv::Size(57, 31), false}),
                         [](const auto& info) { return std::string(info.param.name); });

#if CV_VERSION_MAJOR > 4 || (CV_VERSION_MAJOR == 4 && CV_VERSION_MINOR >= 8)
TEST(Blob, EquivalentMatchesOpenCVsBlobFromImageWithParams) {
    ASSERT_TRUE(kelvo::detail::opencv_has_blob_params());
    const cv::Mat image = random_image(30, 50, CV_8UC3, 9);
    Image2BlobParams params;
    params.scalefactor = cv::Scalar(0.1, 0.2, 0.3);
    params.mean = cv::Scalar(1, 2, 3);
    params.swapRB = true;
    params.size = cv::Size(25, 15);
    cv::dnn::Image2BlobParams cv_params;
    cv_params.scalefactor = params.scalefactor;
    cv_params.mean = params.mean;
    cv_params.swapRB = true;
    cv_params.size = params.size;
    EXPECT_LE(max_abs_diff(blob_from_image_equivalent(image, params),
                           cv::dnn::blobFromImageWithParams(image, cv_params)),
              1e-5);
}
#else
TEST(Blob, OlderOpenCVUsesTheEquivalent) {
    EXPECT_FALSE(kelvo::detail::opencv_has_blob_params());
}
#endif

TEST(Blob, EightBitDepthKeepsValuesAndRefusesScaling) {
    const cv::Mat image = random_image(3, 4, CV_8UC3, 2);
    Image2BlobParams params;
    params.ddepth = CV_8U;
    params.swapRB = true;
    const cv::Mat blob = blob_from_image_equivalent(image, params);
    EXPECT_EQ(blob.type(), CV_8U);
    EXPECT_EQ(blob.at<uchar>(cv::Vec4i(0, 0, 1, 2)), image.at<cv::Vec3b>(1, 2)[2]);
    EXPECT_EQ(blob.at<uchar>(cv::Vec4i(0, 2, 1, 2)), image.at<cv::Vec3b>(1, 2)[0]);
    params.mean = cv::Scalar(1, 1, 1);
    EXPECT_THROW(blob_from_image_equivalent(image, params), std::invalid_argument);
}

TEST(Blob, BadImagesAreRefused) {
    const Image2BlobParams params;
    EXPECT_THROW(blob_from_image_equivalent(cv::Mat(), params), std::invalid_argument);
    EXPECT_THROW(blob_from_image_equivalent(cv::Mat(4, 4, CV_8UC2, cv::Scalar::all(0)), params),
                 std::invalid_argument);
    Image2BlobParams bad_depth;
    bad_depth.ddepth = CV_64F;
    EXPECT_THROW(blob_from_image_equivalent(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(0)), bad_depth),
                 std::invalid_argument);
}

}  // namespace
