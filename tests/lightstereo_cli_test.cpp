// `kelvo backends` and `kelvo depth --backend lightstereo` as a user runs
// them: first without the model file (the error says where it goes), then
// with a stand-in network of LightStereo's signature installed there.
#include <gtest/gtest.h>

#include <fstream>

#include <opencv2/imgcodecs.hpp>

#include "kelvo/json.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::testing::TempDir;

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

/// Runs the CLI with HOME in `home`, so its cache folder lies there.
Run kelvo_cli(const std::string& args, const TempDir& tmp) {
    Run run;
    const auto err_file = tmp / "stderr.txt";
    run.status =
        kelvo::testing::run_command("HOME=" + tmp.path().string() + " " + std::string(KELVO_CLI) +
                                        " " + args + " 2>" + err_file.string(),
                                    &run.out);
    std::ifstream in(err_file);
    run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

/// The Aloe pair side by side as a short MJPEG recording of the kit's own recorder.
std::filesystem::path aloe_recording(const TempDir& tmp, int frames, cv::Size* eye) {
    const auto dir = kelvo::testing::opencv_sample_dir();
    const cv::Mat left = cv::imread((dir / "aloeL.jpg").string());
    const cv::Mat right = cv::imread((dir / "aloeR.jpg").string());
    cv::Mat sbs;
    cv::hconcat(left, right, sbs);
    *eye = left.size();
    std::vector<std::uint8_t> jpeg;
    cv::imencode(".jpg", sbs, jpeg);
    const auto path = tmp / "aloe.mkv";
    kelvo::MkvRecorder recorder({.path = path.string(),
                                 .width = sbs.cols,
                                 .height = sbs.rows,
                                 .camera_info_payload = {{"os_id", "aloe"}, {"sku", ""}},
                                 .camera_name = "Middlebury Aloe",
                                 .camera_serial = "ALOE"});
    recorder.start();
    for (int i = 0; i < frames; ++i) {
        auto frame = std::make_shared<kelvo::RawFrame>();
        frame->payload = jpeg;
        frame->pts_us = i * 33333;
        frame->sequence = i + 1;
        recorder.feed(frame);
    }
    EXPECT_EQ(recorder.stop().frames_written, frames);
    return path;
}

TEST(LightStereoCli, BackendsListsLightStereo) {
    TempDir tmp("ls_cli_backends");
    const auto run = kelvo_cli("backends --json", tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto list = kelvo::Json::parse(run.out);
    bool found = false;
    for (const auto& entry : list) {
        if (entry["key"] != "lightstereo") continue;
        found = true;
        EXPECT_EQ(entry["label"], "LightStereo");
        ASSERT_EQ(entry["variants"].size(), 3u);
        EXPECT_EQ(entry["variants"][0]["slug"], "s-sceneflow-opt-256x512");
    }
    EXPECT_TRUE(found) << run.out;
}

TEST(LightStereoCli, DepthRunsTheNetworkOnceTheModelIsInPlace) {
    TempDir tmp("ls_cli_depth");
    cv::Size eye;
    const auto recording = aloe_recording(tmp, 3, &eye);
    const auto model_path = tmp.path() / ".cache" / "kelvo_camera_sdk" / "models" /
                            "lightstereo_s_sceneflow_general_opt_256_512" / "model.onnx";
    const std::string args =
        "depth " + recording.string() + " --backend lightstereo --out " + (tmp / "out").string();

    const auto missing = kelvo_cli(args, tmp);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find(model_path.string()), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("s-sceneflow-opt-256x512"), std::string::npos) << missing.err;

    std::filesystem::create_directories(model_path.parent_path());
    std::filesystem::copy_file(
        std::filesystem::path(KELVO_TEST_MODELS_DIR) / "lightstereo_standin.onnx", model_path);
    const auto run = kelvo_cli(args + " --json", tmp);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto summary = kelvo::Json::parse(run.out);
    EXPECT_EQ(summary["frames"], 3);
    EXPECT_EQ(summary["backend"], "lightstereo");
    for (int i = 0; i < 3; ++i) {
        const auto map_file = tmp / "out" / ("disparity_00000" + std::to_string(i) + ".tiff");
        const cv::Mat map = cv::imread(map_file.string(), cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(map.empty()) << map_file;
        EXPECT_EQ(map.type(), CV_32F);
        EXPECT_EQ(map.size(), eye) << "maps come back at the eye size";
    }
    // The compiled network was cached under the kit's cache folder.
    EXPECT_TRUE(
        std::filesystem::is_directory(tmp.path() / ".cache" / "kelvo_camera_sdk" / "openvino"));
}

}  // namespace
