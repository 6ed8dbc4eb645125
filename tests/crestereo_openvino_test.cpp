// CREStereo back-ends end to end: model files found by the model-file lookup
// (archive member or network file), the OpenVINO engine on tiny networks with
// the real input and output signatures, and the results cropped to the valid
// region.
#include <gtest/gtest.h>

#include <filesystem>

#include "kelvo/cache_dir.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/crestereo_combined.hpp"
#include "kelvo/inference/inferences/crestereo_initial.hpp"
#include "kelvo/inference/registry.hpp"
#include "support/test_paths.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path MODELS = KELVO_BACKEND_MODELS_DIR;

// Points the kit's cache at a fresh folder for one test.
class CacheFolder {
  public:
    CacheFolder() : _dir("crestereo-cache") { kelvo::set_cache_dir(_dir.path()); }
    ~CacheFolder() { kelvo::set_cache_dir({}); }
    void place(const fs::path& from, const std::string& slug, const std::string& name) const {
        fs::create_directories(_dir.path() / "models" / slug);
        fs::copy_file(from, _dir.path() / "models" / slug / name);
    }

  private:
    kelvo::testing::TempDir _dir;
};

std::unique_ptr<kelvo::DepthInferenceBase> build(const std::string& key, const std::string& slug) {
    const auto cls = kelvo::inference_class(key);
    kelvo::InferenceCreateOptions options;
    options.do_models_cache = false;
    return cls->create(cls->variant(slug), options);
}

// A textured eye: rows and columns both change the value, so a crop in the
// wrong place cannot match.
cv::Mat textured(int h, int w) {
    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x * 3 + y * 5) % 256),
                                                  static_cast<uchar>((x * 7 + 40) % 256),
                                                  static_cast<uchar>((y * 11 + 9) % 256));
        }
    }
    return image;
}

// Mean over the three channels of a (1, 3, H, W) blob.
cv::Mat channel_mean(const cv::Mat& blob) {
    const int h = blob.size[2];
    const int w = blob.size[3];
    cv::Mat sum = cv::Mat::zeros(h, w, CV_32F);
    for (int c = 0; c < 3; ++c) {
        const int idx[4] = {0, c, 0, 0};
        sum += cv::Mat(h, w, CV_32F, const_cast<float*>(&blob.at<float>(idx)));
    }
    return sum / 3.0;
}

// Largest difference between the result and the expected canvas map inside
// the layout's valid region.
double max_error(const cv::Mat& result, const cv::Mat& expected_canvas,
                 const kelvo::CanvasLayout& layout) {
    const cv::Mat want =
        expected_canvas(cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
    return cv::norm(result, want, cv::NORM_INF);
}

// The CPU plugin may compute in bfloat16: values up to 255 carry errors
// below 2; a misplaced crop or a swapped input is off by far more.
constexpr double TOLERANCE = 2.0;

TEST(CREStereoCombinedEngine, ArchiveMemberFourInputsAndCroppedFlow) {
    CacheFolder cache;
    cache.place(MODELS / "crestereo_combined.onnx", "crestereo_combined_iter2_240x320",
                "crestereo_combined_iter2_240x320.onnx");
    auto backend = build("crestereo-combined", "iter2-240x320");
    auto& model = dynamic_cast<kelvo::CREStereoCombinedInference&>(*backend);
    ASSERT_EQ(model.input_size(), (kelvo::HeightWidth{240, 320}));

    const auto layout = kelvo::fit_layout({180, 320}, {240, 320});
    ASSERT_EQ(layout.pad_y, 30);
    const cv::Mat left = kelvo::fit_into_canvas(textured(180, 320), layout);
    const cv::Mat right =
        kelvo::fit_into_canvas(cv::Mat(180, 320, CV_8UC3, cv::Scalar::all(40)), layout);
    for (int frame = 0; frame < 2; ++frame) {
        const auto blobs = model.preprocess(left, &right);
        ASSERT_EQ(blobs.size(), 4u);
        const cv::Mat raw = model.submit(blobs)->get(120.0);
        const cv::Mat result = model.postprocess(raw, layout);
        ASSERT_EQ(result.type(), CV_32F);
        ASSERT_EQ(result.size(), cv::Size(320, 180));

        // flow[0] = mean_c(left) - 0.5 mean_c(right) + 0.25 mean(init_left)
        //           - 0.125 mean(init_right)
        const double init = 0.25 * cv::mean(channel_mean(blobs[0]))[0] -
                            0.125 * cv::mean(channel_mean(blobs[1]))[0];
        const cv::Mat expected = channel_mean(blobs[2]) - 0.5 * channel_mean(blobs[3]) + init;
        EXPECT_LT(max_error(result, expected, layout), TOLERANCE);
        // Swapping the initial pair would move every value by this much.
        const double swapped = 0.125 * cv::mean(channel_mean(blobs[0]))[0] -
                               0.25 * cv::mean(channel_mean(blobs[1]))[0];
        EXPECT_GT(std::abs(init - swapped), 5 * TOLERANCE);
    }
    EXPECT_EQ(model.half_params_builds(), 1u);
}

TEST(CREStereoCombinedEngine, MissingModelNamesPathAndVariant) {
    CacheFolder cache;
    try {
        build("crestereo-combined", "iter5-240x320");
        FAIL() << "built without a model file";
    } catch (const kelvo::RuntimeError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("iter5-240x320"), std::string::npos) << what;
        EXPECT_NE(what.find("crestereo_combined_iter5_240x320"), std::string::npos) << what;
    }
}

TEST(CREStereoInitialEngine, NetworkFileTwoInputsAndCroppedFlow) {
    CacheFolder cache;
    cache.place(MODELS / "crestereo_initial.onnx", "crestereo_init_iter2_160x240", "model.onnx");
    auto backend = build("crestereo-initial", "iter2-160x240");
    auto& model = dynamic_cast<kelvo::CREStereoInitialInference&>(*backend);
    ASSERT_EQ(model.input_size(), (kelvo::HeightWidth{160, 240}));

    const auto layout = kelvo::fit_layout({100, 240}, {160, 240});
    const cv::Mat left = kelvo::fit_into_canvas(textured(100, 240), layout);
    const cv::Mat right = kelvo::fit_into_canvas(255 - textured(100, 240), layout);
    const auto blobs = model.preprocess(left, &right);
    ASSERT_EQ(blobs.size(), 2u);
    const cv::Mat result = model.postprocess(model.submit(blobs)->get(120.0), layout);
    ASSERT_EQ(result.size(), cv::Size(layout.valid_w, layout.valid_h));
    const cv::Mat expected = channel_mean(blobs[0]) - channel_mean(blobs[1]);
    EXPECT_LT(max_error(result, expected, layout), TOLERANCE);
}

TEST(CREStereoCombinedEngine, TwoInputNetworkIsRejectedAtSubmit) {
    // The combined back-end given the single-pass network fails cleanly at
    // the engine (four blobs for two inputs), not with a crash.
    CacheFolder cache;
    cache.place(MODELS / "crestereo_initial.onnx", "crestereo_combined_iter2_240x320",
                "model.onnx");
    auto backend = build("crestereo-combined", "iter2-240x320");
    auto& model = dynamic_cast<kelvo::CREStereoCombinedInference&>(*backend);
    const cv::Mat canvas = textured(160, 240);
    EXPECT_THROW(model.submit(model.preprocess(canvas, &canvas)), std::invalid_argument);
}

}  // namespace
