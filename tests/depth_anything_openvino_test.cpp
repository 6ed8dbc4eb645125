// Depth Anything end to end: a graph whose weights live in an external data
// file, found by the model-file lookup and placed beside the graph, run on
// the OpenVINO engine, the result cropped to the valid region.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "kelvo/cache_dir.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/inferences/depth_anything_v2_small.hpp"
#include "kelvo/inference/registry.hpp"
#include "support/test_paths.hpp"

namespace depth_anything_openvino_test {

namespace fs = std::filesystem;

const fs::path MODELS = fs::path(KELVO_BACKEND_MODELS_DIR) / "depth_anything";
const char* GRAPH_SLUG = "depth_anything_v2_small_518x518_onnx";
const char* DATA_SLUG = "depth_anything_v2_small_518x518_onnx_data";

cv::Mat textured(int h, int w) {
    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x * 3 + y * 5) % 256),
                                                  static_cast<uchar>((x * 7) % 256),
                                                  static_cast<uchar>((y * 11 + 9) % 256));
        }
    }
    return image;
}

// The test network: 0.5 x0 - 0.25 x1 + 2 x2 + 0.1 over the blob's channels.
cv::Mat network_depth(const cv::Mat& blob) {
    const int h = blob.size[2];
    const int w = blob.size[3];
    auto plane = [&](int c) {
        const int idx[4] = {0, c, 0, 0};
        return cv::Mat(h, w, CV_32F, const_cast<float*>(&blob.at<float>(idx)));
    };
    return plane(0) * 0.5 - plane(1) * 0.25 + plane(2) * 2.0 + 0.1;
}

class DepthAnythingEngine : public ::testing::Test {
  protected:
    void SetUp() override { kelvo::set_cache_dir(_cache.path()); }
    void TearDown() override { kelvo::set_cache_dir({}); }

    fs::path place(const std::string& slug, const std::string& name) {
        const fs::path folder = _cache.path() / "models" / slug;
        fs::create_directories(folder);
        fs::copy_file(MODELS / name, folder / name);
        return folder / name;
    }

    std::unique_ptr<kelvo::DepthInferenceBase> build() {
        const auto cls = kelvo::inference_class("depth-anything-v2-small");
        kelvo::InferenceCreateOptions options;
        options.do_models_cache = false;
        return cls->create(cls->variant("518x518"), options);
    }

    void expect_network_values(kelvo::DepthInferenceBase& backend) {
        auto& model = dynamic_cast<kelvo::DepthAnythingV2SmallInference&>(backend);
        ASSERT_EQ(model.input_size(), (kelvo::HeightWidth{518, 518}));
        const auto layout = kelvo::fit_layout({300, 518}, {518, 518});
        const cv::Mat canvas = kelvo::fit_into_canvas(textured(300, 518), layout);
        const auto blobs = model.preprocess(canvas, nullptr);
        ASSERT_EQ(blobs.size(), 1u);
        const cv::Mat result = model.postprocess(model.submit(blobs)->get(120.0), layout);
        ASSERT_EQ(result.type(), CV_32F);
        ASSERT_EQ(result.size(), cv::Size(layout.valid_w, layout.valid_h));
        const cv::Mat want = network_depth(blobs[0])(
            cv::Rect(layout.pad_x, layout.pad_y, layout.valid_w, layout.valid_h));
        // Values span about -6 to 7; bfloat16 on some CPUs stays within 0.1.
        EXPECT_LT(cv::norm(result, want, cv::NORM_INF), 0.1);

        model.set_inference_control("depth_scale_milli", 2000);
        const cv::Mat doubled = model.postprocess(model.submit(blobs)->get(120.0), layout);
        EXPECT_LT(cv::norm(doubled, result * 2.0, cv::NORM_INF), 1e-5);
    }

    kelvo::testing::TempDir _cache{"depth-anything-cache"};
};

TEST_F(DepthAnythingEngine, WeightsUnderTheirOwnSlugArePlacedBesideTheGraph) {
    const fs::path graph = place(GRAPH_SLUG, "model.onnx");
    place(DATA_SLUG, "model.onnx_data");
    auto backend = build();
    EXPECT_TRUE(fs::is_regular_file(graph.parent_path() / "model.onnx_data"));
    expect_network_values(*backend);
    // A second instance finds the weights already in place.
    expect_network_values(*build());
}

TEST_F(DepthAnythingEngine, WeightsAlreadyBesideTheGraph) {
    const fs::path graph = place(GRAPH_SLUG, "model.onnx");
    fs::copy_file(MODELS / "model.onnx_data", graph.parent_path() / "model.onnx_data");
    expect_network_values(*build());
}

TEST_F(DepthAnythingEngine, StaleWeightsBesideTheGraphAreReplaced) {
    const fs::path graph = place(GRAPH_SLUG, "model.onnx");
    place(DATA_SLUG, "model.onnx_data");
    {
        // Same size, all zeros: a network run with these gives 0 everywhere.
        std::ofstream stale(graph.parent_path() / "model.onnx_data", std::ios::binary);
        const std::string zeros(fs::file_size(MODELS / "model.onnx_data"), '\0');
        stale << zeros;
    }
    expect_network_values(*build());
}

TEST_F(DepthAnythingEngine, MissingWeightsNameTheFile) {
    place(GRAPH_SLUG, "model.onnx");
    try {
        build();
        FAIL() << "built without the weights";
    } catch (const kelvo::RuntimeError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(DATA_SLUG), std::string::npos) << what;
        EXPECT_NE(what.find("518x518"), std::string::npos) << what;
    }
}

}  // namespace depth_anything_openvino_test
