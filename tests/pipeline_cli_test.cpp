// `kelvo demo`, `kelvo depth` and `kelvo backends` as a user runs them, on
// recordings written by the kit's own recorder.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>

#include <fmt/format.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/disparity_filter.hpp>

#include "kelvo/inference/base.hpp"
#include "kelvo/json.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "pipeline_fixtures.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::Json;
using kelvo::testing::run_command;
using kelvo::testing::TempDir;

struct Run {
    int status = -1;
    std::string out;  // stdout
    std::string err;  // stderr
};

Run kelvo_cli(const std::string& args, const TempDir& tmp) {
    Run run;
    const auto err_file = tmp / "stderr.txt";
    run.status =
        run_command(std::string(KELVO_CLI) + " " + args + " 2>" + err_file.string(), &run.out);
    std::ifstream in(err_file);
    run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

double number_after(const std::string& text, const std::string& label) {
    const std::regex re(label + R"(\s*([0-9.]+))");
    std::smatch m;
    if (!std::regex_search(text, m, re)) return -1;
    return std::stod(m[1]);
}

// The Aloe pair as a recording: `frames` identical MJPEG frames, no calibration.
std::filesystem::path aloe_recording(const TempDir& tmp, int frames, cv::Mat* decoded) {
    const auto dir = kelvo::testing::opencv_sample_dir();
    cv::Mat sbs;
    cv::hconcat(cv::imread((dir / "aloeL.jpg").string()), cv::imread((dir / "aloeR.jpg").string()),
                sbs);
    const auto jpeg = kelvo::testing::encode_jpeg(sbs, 95);
    // `kelvo depth` wants no colour eyes, so its matcher sees the payload's
    // luminance, decoded at half size for canvases of at most half the eye.
    *decoded = cv::imdecode(jpeg, cv::IMREAD_REDUCED_GRAYSCALE_2);
    const auto path = tmp / "aloe.mkv";
    kelvo::MkvRecorder recorder({.path = path.string(),
                                 .width = sbs.cols,
                                 .height = sbs.rows,
                                 .camera_info_payload = {{"os_id", "aloe"}, {"sku", ""}},
                                 .camera_name = "Middlebury Aloe",
                                 .camera_serial = "ALOE",
                                 .capture_mode_slug = "2564x1110@30-MJPG"});
    recorder.start();
    for (int i = 0; i < frames; ++i) {
        auto frame = std::make_shared<kelvo::RawFrame>();
        frame->payload = jpeg;
        frame->pts_us = i * 33333;
        frame->sequence = i + 1;
        recorder.feed(frame);
    }
    const auto result = recorder.stop();
    EXPECT_EQ(result.frames_written, frames);
    return path;
}

TEST(KelvoDemo, PrintsItsReportWithinTheAccuracyOfBlockMatching) {
    TempDir tmp("demo");
    const auto run = kelvo_cli("demo --out " + (tmp / "out").string() + " --frames 12", tmp);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(number_after(run.out, "frames:"), 12);
    EXPECT_GT(number_after(run.out, "frames/s:"), 0);
    // The factory calibration and the update written part-way were both applied.
    EXPECT_EQ(number_after(run.out, "calibrations:"), 2);
    const double epe = number_after(run.out, "end-point error:");
    const double bad = number_after(run.out, "off by > 2 px:");
    const double valid = number_after(run.out, "valid pixels:");
    // Block matching's map filled by the chain's defaults: dense, and its
    // filled occlusions cost some accuracy over the valid pixels.
    EXPECT_GE(epe, 0.0);
    EXPECT_LT(epe, 2.5);
    EXPECT_GE(bad, 0.0);
    EXPECT_LT(bad, 10.0);  // percent
    EXPECT_GT(valid, 90.0);
    EXPECT_TRUE(std::filesystem::is_regular_file(tmp / "out" / "demo.mkv"));
    for (int i = 0; i < 12; ++i) {
        const auto stem = tmp / "out" / "disparity" / fmt::format("frame_{:06d}", i);
        const cv::Mat map = cv::imread(stem.string() + ".tiff", cv::IMREAD_UNCHANGED);
        ASSERT_EQ(map.type(), CV_32F) << stem;
        EXPECT_EQ(map.size(), cv::Size(640, 360));
        EXPECT_TRUE(std::filesystem::is_regular_file(stem.string() + ".png"));
    }
}

TEST(KelvoDemo, RefusesABadFrameCountOrABackEndWithoutDisparity) {
    TempDir tmp("demo_bad");
    const std::pair<std::string, const char*> cases[] = {
        {"demo --frames 0", "--frames"},
        {"demo --frames many", "--frames"},
        {"demo --backend no-such-key", "no-such-key"},
        {"demo --backend metric3d-v2-vit-small", "gives no disparity map"},
        {"demo --backend rectify-passthrough", "gives no disparity map"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(args);
        const auto out = tmp / "out";
        const auto run = kelvo_cli(args + " --out " + out.string(), tmp);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(out / "demo.mkv"));
    }
}

// Counted over every pixel both cameras see, holes included, the dense
// matcher beats block matching on the demo's scene; over its valid pixels
// alone block matching would look about as good.
TEST(KelvoDemo, ReportsTheMapWithItsHolesAndTheSemiGlobalMatcherWins) {
    TempDir tmp("demo_backends");
    std::map<std::string, std::pair<double, double>> with_holes;
    for (const std::string backend : {"stereo-bm", "stereo-sgbm"}) {
        const auto run = kelvo_cli(
            "demo --frames 3 --backend " + backend + " --out " + (tmp / backend).string(), tmp);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("back-end:         " + backend + ", variant"), std::string::npos);
        with_holes[backend] = {number_after(run.out, "with holes:       end-point error"),
                               number_after(run.out, "px, off by > 2 px")};
        EXPECT_GE(with_holes[backend].first, number_after(run.out, "end-point error:"));
        if (backend == "stereo-sgbm") {
            // Bounds a wrong rectification, canvas fit or disparity scale misses by far.
            EXPECT_LT(number_after(run.out, "end-point error:"), 1.0);
            EXPECT_LT(number_after(run.out, "off by > 2 px:"), 4.0);
        }
    }
    EXPECT_LT(with_holes["stereo-sgbm"].first, with_holes["stereo-bm"].first);
    EXPECT_LT(with_holes["stereo-sgbm"].second, with_holes["stereo-bm"].second);
}

// The disparity `kelvo depth` writes for a recording of the Aloe pair is what
// OpenCV's StereoBM gives on the same canvas-fitted pair with the same parameters.
TEST(KelvoDepth, AloeRecordingEqualsOpenCVStereoBM) {
    TempDir tmp("depth_aloe");
    cv::Mat sbs;
    const auto rec = aloe_recording(tmp, 3, &sbs);
    struct Case {
        std::string sets;
        kelvo::testing::Params params;
    };
    kelvo::testing::Params textured;
    textured.texture_threshold = 1200;
    kelvo::testing::Params wide;
    wide.num_disparities = 160;
    wide.block_size = 15;
    const Case cases[] = {{"", {}},
                          {" --set texture_threshold=1200", textured},
                          {" --set num_disparities=160 --set block_size=15", wide}};
    const kelvo::HeightWidth eye{1110, 1282};  // the Aloe pair's, twice the half-size decode
    const cv::Mat default_expected = kelvo::testing::direct_stereo_bm(sbs, {360, 640}, {}, eye);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sets);
        const auto out = tmp / "out";
        std::filesystem::remove_all(out);
        const auto run = kelvo_cli("depth " + rec.string() +
                                       " --backend stereo-bm --variant 360x640 --json --out " +
                                       out.string() + " --set post_chain=0" + c.sets,
                                   tmp);
        ASSERT_EQ(run.status, 0) << run.err;
        const Json summary = Json::parse(run.out);
        std::vector<std::string> keys;
        for (auto it = summary.begin(); it != summary.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"frames", "seconds", "fps", "backend", "variant",
                                                  "out"}));
        EXPECT_EQ(summary["frames"], 3);
        EXPECT_EQ(summary["backend"], "stereo-bm");
        EXPECT_EQ(summary["variant"], "360x640");
        EXPECT_GT(summary["fps"].get<double>(), 0.0);
        EXPECT_EQ(std::filesystem::path(summary["out"].get<std::string>()),
                  std::filesystem::absolute(out));
        // No calibration in the recording: said once, and the pair is used as it is.
        EXPECT_NE(run.err.find("running on the unrectified pair"), std::string::npos);
        const cv::Mat expected = kelvo::testing::direct_stereo_bm(sbs, {360, 640}, c.params, eye);
        for (int i = 0; i < 3; ++i) {
            const cv::Mat got = cv::imread((out / fmt::format("disparity_{:06d}.tiff", i)).string(),
                                           cv::IMREAD_UNCHANGED);
            ASSERT_EQ(got.type(), CV_32F);
            EXPECT_EQ(kelvo::testing::differing(got, expected), 0);
            if (!c.sets.empty()) {
                EXPECT_GT(kelvo::testing::differing(got, default_expected), 1000);
            }
        }
    }
}

/// OpenCV's semi-global matcher and its weighted-least-squares filter as
/// OpenCV's disparity-filtering tutorial calls them, on the pair fitted into
/// `canvas`; the map at the eye's size, in eye pixels.
cv::Mat opencv_sgbm_wls(const cv::Mat& left, const cv::Mat& right,
                        const kelvo::CanvasLayout& layout) {
    const cv::Mat canvas_l = kelvo::fit_into_canvas(left, layout);
    const cv::Mat canvas_r = kelvo::fit_into_canvas(right, layout);
    cv::Mat grey_l, grey_r;
    cv::cvtColor(canvas_l, grey_l, cv::COLOR_BGR2GRAY);
    cv::cvtColor(canvas_r, grey_r, cv::COLOR_BGR2GRAY);
    auto matcher = cv::StereoSGBM::create(0, 96, 5, 8 * 25, 32 * 25, 1, 63, 10, 100, 2,
                                          cv::StereoSGBM::MODE_SGBM);
    auto right_matcher = cv::ximgproc::createRightMatcher(matcher);
    cv::Mat disparity_l, disparity_r, filtered;
    matcher->compute(grey_l, grey_r, disparity_l);
    right_matcher->compute(grey_r, grey_l, disparity_r);
    auto wls = cv::ximgproc::createDisparityWLSFilter(matcher);
    wls->setLambda(8000.0);
    wls->setSigmaColor(1.5);
    wls->filter(disparity_l, canvas_l, filtered, disparity_r);
    cv::Mat map;
    filtered.convertTo(map, CV_32F, 1.0 / 16.0);
    return kelvo::map_to_source(kelvo::crop_to_valid(map, layout), layout, true);
}

struct PairScore {
    double wrong = 0;            ///< off by more than 2 canvas pixels, or a hole
    double confident_wrong = 0;  ///< the same over the most trusted 75%
};

/// Counted over every pixel with ground truth at least `search` canvas
/// pixels from the canvas's left edge.
PairScore score_pair(const cv::Mat& map, const cv::Mat& confidence, const cv::Mat& truth,
                     const kelvo::CanvasLayout& layout, int search) {
    struct Pixel {
        int confidence;
        double tie;
        bool wrong;
    };
    std::vector<Pixel> pixels;
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> tie(0.0, 1.0);
    const double tolerance = 2.0 / layout.scale;  // 2 canvas pixels, in eye pixels
    for (int y = 0; y < truth.rows; ++y) {
        for (int x = 0; x < truth.cols; ++x) {
            const int t = truth.at<std::uint8_t>(y, x);
            if (t == 0 || layout.pad_x + (x + 0.5) * layout.scale - 0.5 < search) continue;
            const float d = map.at<float>(y, x);
            pixels.push_back({confidence.empty() ? 0 : confidence.at<std::uint8_t>(y, x), tie(rng),
                              !(std::abs(d - t) <= tolerance)});
        }
    }
    PairScore score;
    if (pixels.empty()) return score;
    score.wrong =
        std::count_if(pixels.begin(), pixels.end(), [](const Pixel& p) { return p.wrong; }) /
        static_cast<double>(pixels.size());
    std::sort(pixels.begin(), pixels.end(), [](const Pixel& a, const Pixel& b) {
        return a.confidence != b.confidence ? a.confidence > b.confidence : a.tie > b.tie;
    });
    const auto top = pixels.begin() + static_cast<long>(0.75 * static_cast<double>(pixels.size()));
    score.confident_wrong =
        std::count_if(pixels.begin(), top, [](const Pixel& p) { return p.wrong; }) /
        static_cast<double>(top - pixels.begin());
    return score;
}

// The semi-global matcher with the chain's defaults against OpenCV's own
// matcher and filter, on a real pair with ground truth recorded as MJPEG.
TEST(KelvoDepth, DenseMapsBeatOpenCVsFilteredMatcherOnARealPair) {
    TempDir tmp("depth_quality");
    cv::Mat decoded;
    const auto rec = aloe_recording(tmp, 1, &decoded);
    const auto out = tmp / "out";
    const auto run = kelvo_cli(
        "depth " + rec.string() + " --backend stereo-sgbm --variant 360x640 --out " + out.string(),
        tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    const Json run_json = Json::parse(std::ifstream(out / "run.json"));
    const int search = run_json["controls"]["num_disparities"].get<int>();
    const cv::Mat map = cv::imread((out / "disparity_000000.tiff").string(), cv::IMREAD_UNCHANGED);
    const cv::Mat confidence =
        cv::imread((out / "confidence_000000.png").string(), cv::IMREAD_UNCHANGED);

    const auto dir = kelvo::testing::opencv_sample_dir();
    const cv::Mat left = cv::imread((dir / "aloeL.jpg").string());
    const cv::Mat right = cv::imread((dir / "aloeR.jpg").string());
    const cv::Mat truth = cv::imread((dir / "aloeGT.png").string(), cv::IMREAD_GRAYSCALE);
    ASSERT_EQ(map.size(), truth.size());
    ASSERT_EQ(confidence.size(), truth.size());
    const auto layout = kelvo::fit_layout({left.rows, left.cols}, {360, 640});
    const PairScore ours = score_pair(map, confidence, truth, layout, search);
    const PairScore theirs =
        score_pair(opencv_sgbm_wls(left, right, layout), {}, truth, layout, search);
    std::cout << "wrong or empty: stereo-sgbm with the chain " << ours.wrong << ", OpenCV SGBM+WLS "
              << theirs.wrong << " (ratio " << ours.wrong / theirs.wrong
              << "); most trusted 75%: " << ours.confident_wrong << "\n";
    EXPECT_LE(ours.wrong, 0.8 * theirs.wrong);
    EXPECT_LE(ours.confident_wrong, 0.01);
}

TEST(KelvoDepth, MaxFramesAndPassthrough) {
    TempDir tmp("depth_max");
    cv::Mat sbs;
    const auto rec = aloe_recording(tmp, 4, &sbs);
    const auto out = tmp / "pass";
    const auto run =
        kelvo_cli("depth " + rec.string() +
                      " --backend rectify-passthrough --max-frames 2 --json --out " + out.string(),
                  tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    const Json summary = Json::parse(run.out);
    EXPECT_EQ(summary["frames"], 2);
    EXPECT_EQ(summary["variant"], "256x512");
    EXPECT_TRUE(std::filesystem::is_regular_file(out / "rectified_left_000000.png"));
    EXPECT_TRUE(std::filesystem::is_regular_file(out / "rectified_right_000001.png"));
    EXPECT_FALSE(std::filesystem::exists(out / "rectified_left_000002.png"));
    EXPECT_FALSE(std::filesystem::exists(out / "disparity_000000.tiff"));
}

TEST(KelvoDepth, BadInputGivesAClearMessage) {
    TempDir tmp("depth_bad");
    cv::Mat sbs;
    const auto rec = aloe_recording(tmp, 1, &sbs).string();
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"depth " + rec + " --backend no-such", 2, "unknown inference back-end 'no-such'"},
        {"depth " + rec + " --backend stereo-bm --variant 1x1", 2, "unknown variant '1x1'"},
        {"depth " + rec + " --backend stereo-bm --set bogus=1", 2, "unknown control bogus"},
        {"depth " + rec + " --backend stereo-bm --set block_size=4", 2,
         "control block_size must be within 5..51"},
        {"depth " + rec + " --backend stereo-bm --set block_size", 2, "--set expects NAME=VALUE"},
        {"depth " + rec + " --backend stereo-bm --set block_size=x", 2,
         "--set block_size expects an integer value"},
        {"depth " + rec, 2, "--backend is required"},
        {"depth " + rec + " --backend stereo-bm --max-frames -1", 2, "--max-frames"},
        {"depth " + (tmp / "missing.mkv").string() + " --backend stereo-bm", 1,
         "no such recording"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = kelvo_cli(c.args + " --out " + (tmp / "o").string(), tmp);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

TEST(KelvoBackends, JsonListsTheRegistryInOrder) {
    TempDir tmp("backends");
    const auto run = kelvo_cli("backends --json", tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    const Json list = Json::parse(run.out);
    ASSERT_TRUE(list.is_array());
    ASSERT_GE(list.size(), 2u);
    EXPECT_EQ(list[0]["key"], "stereo-bm");
    EXPECT_EQ(list[1]["key"], "rectify-passthrough");
    for (const auto& entry : list) {
        std::vector<std::string> keys;
        for (auto it = entry.begin(); it != entry.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"key", "label", "neural", "default_variant",
                                                  "variants", "post_controls"}));
        // The chain's controls with this back-end's defaults: none without a map,
        // no left-right check without a right view.
        const auto& post = entry["post_controls"];
        if (entry["key"] == "rectify-passthrough") {
            EXPECT_TRUE(post.empty());
        } else {
            ASSERT_FALSE(post.empty());
            EXPECT_EQ(post[1]["name"], "post_lr_check");
            EXPECT_EQ(post[1]["default"], entry["neural"] == true ? 0 : 1) << entry["key"];
        }
        for (const auto& v : entry["variants"]) {
            std::vector<std::string> vkeys;
            for (auto it = v.begin(); it != v.end(); ++it) vkeys.push_back(it.key());
            EXPECT_EQ(vkeys, (std::vector<std::string>{"slug", "label", "inference_kwargs",
                                                       "files_to_download", "models_present",
                                                       "configurations"}));
        }
    }
    EXPECT_EQ(list[0]["label"], "StereoBM (classical, CPU, fastest)");
    EXPECT_EQ(list[0]["neural"], false);
    EXPECT_EQ(list[0]["variants"][0]["slug"], "256x512");
    EXPECT_EQ(list[0]["variants"][0]["inference_kwargs"], (Json{{"canvas_size", {256, 512}}}));
    EXPECT_EQ(list[0]["variants"][0]["configurations"]["selector_meta"]["wizard_visible"], true);
    EXPECT_EQ(list[1]["variants"][2]["configurations"]["selector_meta"]["accuracy_tier"], 0);

    const auto text = kelvo_cli("backends", tmp);
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("stereo-bm  StereoBM (classical, CPU, fastest)"), std::string::npos);
    EXPECT_EQ(kelvo_cli("backends --bogus", tmp).status, 2);
}

}  // namespace
