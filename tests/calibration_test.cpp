#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/calibration.hpp"

namespace kelvo {
namespace {

Json ideal_pair(double fx = 500, double baseline = 0.06) {
    return Json::parse(R"({"image_size": [640, 360],
        "left": {"camera_matrix": [[)" +
                       std::to_string(fx) + R"(, 0, 320], [0, )" + std::to_string(fx) +
                       R"(, 180], [0, 0, 1]], "dist_coeffs": [0, 0, 0, 0, 0]},
        "right": {"camera_matrix": [[)" +
                       std::to_string(fx) + R"(, 0, 320], [0, )" + std::to_string(fx) +
                       R"(, 180], [0, 0, 1]], "dist_coeffs": [0, 0, 0, 0, 0]},
        "R": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "T": [)" +
                       std::to_string(-baseline) + R"(, 0, 0]})");
}

TEST(Calibration, DictionaryRoundTripKeepsUnknownKeys) {
    Json dict = ideal_pair();
    dict["serial"] = "ABC123";
    dict["quality"] = {{"rms", 0.21}};
    const auto calibration = Calibration::from_dict(dict);
    const Json back = calibration->to_dict();
    EXPECT_EQ(back["serial"], "ABC123");
    EXPECT_EQ(back["quality"]["rms"], 0.21);
    EXPECT_EQ(Calibration::from_dict(back)->to_dict(), back);
    EXPECT_EQ(calibration->image_size(), (HeightWidth{360, 640}));
    EXPECT_DOUBLE_EQ(calibration->T()[0], -0.06);
}

TEST(Calibration, MalformedInputIsRefusedWithAReason) {
    struct Case {
        const char* name;
        std::function<void(Json&)> damage;
        const char* needle;
    };
    const Case cases[] = {
        {"not an object", [](Json& j) { j = Json::array(); }, "expected a JSON object"},
        {"no image size", [](Json& j) { j.erase("image_size"); }, "image_size"},
        {"bad image size", [](Json& j) { j["image_size"] = {640}; }, "image_size"},
        {"negative size",
         [](Json& j) {
             j["image_size"] = {640, -1};
         },
         "positive"},
        {"no left", [](Json& j) { j.erase("left"); }, "left"},
        {"short matrix",
         [](Json& j) {
             j["left"]["camera_matrix"] = {{1, 0, 0}};
         },
         "left.camera_matrix"},
        {"text in R", [](Json& j) { j["R"][1][1] = "one"; }, "R[1][1]"},
        {"odd distortion",
         [](Json& j) {
             j["right"]["dist_coeffs"] = {0, 0, 0};
         },
         "dist_coeffs"},
        {"zero baseline",
         [](Json& j) {
             j["T"] = {0, 0, 0};
         },
         "baseline"},
        {"zero focal", [](Json& j) { j["left"]["camera_matrix"][0][0] = 0; }, "focal"},
        // Values a broken or hostile file carries: refused before they reach a cast or
        // give rectification maps of NaN.
        {"2^31 wide",
         [](Json& j) {
             j["image_size"] = {2147483648.0, 360};
         },
         "image_size"},
        {"fractional size",
         [](Json& j) {
             j["image_size"] = {640.5, 360};
         },
         "integers"},
        {"absurd focal", [](Json& j) { j["right"]["camera_matrix"][1][1] = 1e12; },
         "right.camera_matrix"},
        {"absurd centre", [](Json& j) { j["left"]["camera_matrix"][0][2] = -1e9; },
         "left.camera_matrix"},
        {"projective row", [](Json& j) { j["left"]["camera_matrix"][2][0] = 0.5; },
         "left.camera_matrix"},
        {"absurd distortion", [](Json& j) { j["left"]["dist_coeffs"][0] = 1e30; },
         "left.dist_coeffs[0]"},
        {"scaled R", [](Json& j) { j["R"][0][0] = 2; }, "R must be a rotation"},
        {"mirrored R", [](Json& j) { j["R"][2][2] = -1; }, "R must be a rotation"},
        {"absurd baseline",
         [](Json& j) {
             j["T"] = {1e7, 0, 0};
         },
         "baseline"},
        {"infinite T", [](Json& j) { j["T"][1] = std::numeric_limits<double>::infinity(); },
         "T[1]"},
    };
    for (const auto& c : cases) {
        Json dict = ideal_pair();
        c.damage(dict);
        try {
            Calibration::from_dict(dict);
            ADD_FAILURE() << c.name << ": accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.needle), std::string::npos)
                << c.name << ": " << e.what();
        }
    }
}

TEST(Calibration, IdealPairRectifiesToIdentity) {
    const auto calibration = Calibration::from_dict(ideal_pair());
    const auto rect = calibration->rectification({360, 640});
    for (const auto* map : {&rect->map_left_x, &rect->map_right_x}) {
        for (int y = 0; y < 360; y += 37) {
            for (int x = 0; x < 640; x += 53) EXPECT_NEAR(map->at<float>(y, x), x, 1.0);
        }
    }
    for (int y = 0; y < 360; y += 37) {
        for (int x = 0; x < 640; x += 53) EXPECT_NEAR(rect->map_left_y.at<float>(y, x), y, 1.0);
    }
    EXPECT_NEAR(rect->baseline_m, 0.06, 1e-9);
    EXPECT_NEAR(rect->fx, 500, 1.0);
    // Cached for the same size, rebuilt (with scaled intrinsics) for another.
    EXPECT_EQ(calibration->rectification({360, 640}), rect);
    const auto half = calibration->rectification({180, 320});
    EXPECT_NEAR(half->fx, 250, 1.0);
}

TEST(Calibration, RotatedRightCameraIsRectifiedOntoCommonRows) {
    // A right camera rotated by 2 degrees about the optical axis and 1 degree
    // about x: its raw image points lie on other rows than the left ones.
    const double fx = 600;
    cv::Matx33d K(fx, 0, 320, 0, fx, 180, 0, 0, 1);
    cv::Vec3d rvec(0.0175, 0, 0.035);
    cv::Matx33d R;
    cv::Rodrigues(rvec, R);
    const cv::Vec3d T(-0.08, 0, 0);
    Json dict = ideal_pair(fx, 0.08);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) dict["R"][r][c] = R(r, c);
    }
    const auto calibration = Calibration::from_dict(dict);
    const auto rect = calibration->rectification({360, 640});

    // Project 3-D points into both raw cameras, then move them through the
    // rectification: matching points must share a row.
    std::vector<cv::Point3d> world = {
        {-0.3, -0.2, 2.0}, {0.2, 0.1, 1.5}, {0.0, 0.25, 3.0}, {0.4, -0.1, 2.5}};
    std::vector<cv::Point2d> left_raw, right_raw;
    cv::projectPoints(world, cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0), K, cv::noArray(), left_raw);
    cv::projectPoints(world, rvec, T, K, cv::noArray(), right_raw);
    std::vector<cv::Point2d> left_rect, right_rect;
    cv::undistortPoints(left_raw, left_rect, K, cv::noArray(), rect->R1, rect->P1);
    cv::undistortPoints(right_raw, right_rect, K, cv::noArray(), rect->R2, rect->P2);
    double raw_row_error = 0;
    for (std::size_t i = 0; i < world.size(); ++i) {
        raw_row_error = std::max(raw_row_error, std::abs(left_raw[i].y - right_raw[i].y));
        EXPECT_NEAR(left_rect[i].y, right_rect[i].y, 0.5) << "point " << i;
    }
    EXPECT_GT(raw_row_error, 5.0);  // the test would pass trivially otherwise

    // The remap tables agree with the point transform.
    const cv::Point2d target = right_rect[1];
    const float mx = rect->map_right_x.at<float>(cvRound(target.y), cvRound(target.x));
    const float my = rect->map_right_y.at<float>(cvRound(target.y), cvRound(target.x));
    EXPECT_NEAR(mx, right_raw[1].x, 1.5);
    EXPECT_NEAR(my, right_raw[1].y, 1.5);
}

TEST(CanvasFit, LetterboxKeepsAspectAndMapsBack) {
    const CanvasLayout layout = fit_layout({360, 640}, {256, 512});
    EXPECT_EQ(layout.valid_w, 455);
    EXPECT_EQ(layout.valid_h, 256);
    EXPECT_EQ(layout.pad_x, (512 - 455) / 2);
    EXPECT_EQ(layout.pad_y, 0);
    const CanvasLayout wide = fit_layout({360, 1280}, {256, 512});
    EXPECT_EQ(wide.valid_w, 512);
    EXPECT_EQ(wide.valid_h, 144);
    EXPECT_EQ(wide.pad_y, 56);

    cv::Mat image(360, 1280, CV_8UC3, cv::Scalar(10, 20, 30));
    cv::Mat canvas = fit_into_canvas(image, wide);
    ASSERT_EQ(canvas.size(), cv::Size(512, 256));
    EXPECT_EQ(canvas.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(canvas.at<cv::Vec3b>(128, 256), cv::Vec3b(10, 20, 30));

    cv::Mat map(wide.valid_h, wide.valid_w, CV_32F, cv::Scalar(4.0f));
    cv::Mat back = map_to_source(map, wide, true);
    ASSERT_EQ(back.size(), cv::Size(1280, 360));
    EXPECT_FLOAT_EQ(back.at<float>(100, 100), 10.0f);  // 4 canvas px * 1280/512
}

}  // namespace
}  // namespace kelvo
