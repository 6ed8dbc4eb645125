// The `kelvo` command as a user meets it: safe outputs, recordings that keep
// their history, truthful exit statuses, Ctrl-C, self-explaining maps, frame
// ranges, export and help. Every case runs the real binary on recordings
// written at test time by the kit's own recorder from the synthetic scene,
// or by ffmpeg.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <opencv2/core/persistence.hpp>
#include <opencv2/imgcodecs.hpp>

#include "kelvo/json.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "support/json_lines.hpp"
#include "support/test_paths.hpp"

extern char** environ;

namespace kelvo_cli_test {

namespace fs = std::filesystem;
using kelvo::Json;
using kelvo::testing::json_lines;
using kelvo::testing::TempDir;

constexpr std::int64_t FRAME_US = 33333;
constexpr const char* SKU = "STEREO-CAMERA-CORVAN-REGULAR-WIDE-21";

struct Run {
    int status = -1;
    std::string out;
    std::string err;
};

std::string read_text(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Run kelvo_cli(const std::string& args, const TempDir& tmp, const std::string& env = "") {
    Run run;
    const auto err_file = tmp / "stderr.txt";
    run.status = kelvo::testing::run_command(
        env + " " + std::string(KELVO_CLI) + " " + args + " 2>" + err_file.string(), &run.out);
    run.err = read_text(err_file);
    return run;
}

std::vector<std::vector<std::string>> csv_rows(const fs::path& file) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(read_text(file));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> cells;
        std::stringstream cells_in(line);
        for (std::string cell; std::getline(cells_in, cell, ',');) cells.push_back(cell);
        if (!line.empty() && line.back() == ',') cells.emplace_back();
        rows.push_back(cells);
    }
    return rows;
}

std::vector<std::string> files_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A recording of the synthetic scene: factory calibration, calibration
// updates (the baseline refined by 1 % more each time) and camera-state
// snapshots at chosen frames; `distinct` > 0 renders that many frames and
// repeats them, for long recordings.
struct SceneOptions {
    int frames = 10;
    std::vector<int> updates = {3, 7};
    std::vector<int> states = {5};
    int bad_update = -1;  ///< a calibration event that does not build
    int distinct = 0;
};

Json controls_at(int k) {
    return Json{{"exposure", 300 + 10 * k}, {"gain", 32}};
}

fs::path write_scene_recording(const fs::path& path, const SceneOptions& scene_options) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const Json factory = kelvo::detail::synthetic_calibration_dict(scene);
    kelvo::MkvRecorder recorder({
        .path = path.string(),
        .width = 2 * scene.eye_size.width,
        .height = scene.eye_size.height,
        .camera_info_payload = {{"os_id", "synthetic"},
                                {"sku", SKU},
                                {"model_name", "Synthetic plane scene"},
                                {"serial", "TEST-1"},
                                {"base_calibration", factory}},
        .camera_controls = controls_at(0),
        .capture_mode_slug = "1280x360@30-MJPG",
        .t0_monotonic_ns_provider = [] { return std::optional<std::int64_t>(5000); },
        .fps = 30.0,
        .queue_size = static_cast<std::size_t>(scene_options.frames) + 8,
    });
    recorder.start();
    std::vector<std::vector<std::uint8_t>> jpegs;
    for (int i = 0; i < scene_options.frames; ++i) {
        const auto pts = i * FRAME_US;
        for (std::size_t k = 0; k < scene_options.updates.size(); ++k) {
            if (scene_options.updates[k] != i) continue;
            Json update = factory;
            update["T"][0] = -scene.baseline_m * (1.0 + 0.01 * static_cast<double>(k + 1));
            recorder.write_calibration_update(update, pts);
        }
        if (scene_options.bad_update == i) {
            recorder.write_calibration_update({{"image_size", "not a size"}}, pts);
        }
        for (std::size_t k = 0; k < scene_options.states.size(); ++k) {
            if (scene_options.states[k] == i)
                recorder.write_camera_state(controls_at(int(k) + 1), pts);
        }
        const int rendered = scene_options.distinct > 0 ? i % scene_options.distinct : i;
        if (static_cast<std::size_t>(rendered) >= jpegs.size()) {
            jpegs.emplace_back();
            cv::imencode(".jpg",
                         kelvo::detail::render_synthetic_frame(scene, rendered).side_by_side,
                         jpegs.back(), {cv::IMWRITE_JPEG_QUALITY, 92});
        }
        auto frame = std::make_shared<kelvo::RawFrame>();
        frame->payload = jpegs[static_cast<std::size_t>(rendered)];
        frame->pts_us = pts;
        frame->sequence = i + 1;
        recorder.feed(frame);
    }
    EXPECT_EQ(recorder.stop().frames_written, scene_options.frames);
    return path;
}

// ---------------------------------------------------------------------------

TEST(KelvoSafety, RefusesToWriteOverItsInputOrEarlierOutputs) {
    TempDir tmp("cli_safety");
    const auto rec = write_scene_recording(tmp / "rec.mkv", {.frames = 3});
    const std::string original = read_text(rec);
    fs::create_symlink(rec, tmp / "link.mkv");
    fs::create_hard_link(rec, tmp / "hard.mkv");
    std::ofstream(tmp / "other.mkv") << "keep me";
    fs::create_directories(tmp / "used");
    std::ofstream(tmp / "used" / "notes.txt") << "mine";
    std::ofstream(tmp / "used" / "disparity_000009.tiff") << "old map";
    struct Case {
        std::string args;
        const char* message;
    };
    const std::string depth = "depth " + rec.string() + " --backend stereo-bm ";
    const Case cases[] = {
        {depth + "--record " + rec.string(), "is the input recording"},
        {depth + "--record " + (tmp / "link.mkv").string(), "is the input recording"},
        {depth + "--record " + (tmp / "hard.mkv").string(), "is the input recording"},
        {depth + "--record " + (tmp / "other.mkv").string() + " --out " + (tmp / "o").string(),
         "exists; add --force"},
        {depth + "--out " + (tmp / "used").string(), "is not empty; add --force"},
        {depth + "--out " + rec.string(), "is not a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = kelvo_cli(c.args, tmp);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(read_text(rec), original);
        EXPECT_EQ(read_text(tmp / "other.mkv"), "keep me");
        EXPECT_EQ(read_text(tmp / "used" / "disparity_000009.tiff"), "old map");
        EXPECT_FALSE(fs::exists(tmp / "o"));
    }
    // --force replaces the earlier run's maps and nothing else.
    const auto run = kelvo_cli(depth + "--force --out " + (tmp / "used").string() + " --record " +
                                   (tmp / "other.mkv").string(),
                               tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(files_in(tmp / "used"),
              (std::vector<std::string>{
                  "confidence_000000.png", "confidence_000001.png", "confidence_000002.png",
                  "disparity_000000.png", "disparity_000000.tiff", "disparity_000001.png",
                  "disparity_000001.tiff", "disparity_000002.png", "disparity_000002.tiff",
                  "frames.csv", "notes.txt", "run.json"}));
    EXPECT_EQ(read_text(tmp / "used" / "notes.txt"), "mine");
    EXPECT_NE(read_text(tmp / "other.mkv"), "keep me");
    EXPECT_EQ(read_text(rec), original);
}

/// Starts the command with stdout and stderr in tmp/out.txt and tmp/err.txt.
pid_t spawn_kelvo(const std::vector<std::string>& args, const TempDir& tmp) {
    std::vector<std::string> all = {KELVO_CLI};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (tmp / "out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (tmp / "err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, KELVO_CLI, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

template <typename Condition>
void wait_for(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

/// The exit status, or -1 when the process did not exit by itself.
int exit_status(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Ctrl-C after the first maps: only complete files under their final names,
// a recording with its cues and duration, the summary, exit 130. A second
// Ctrl-C stops at once, still without a half-written file under a final name.
TEST(KelvoInterrupt, SigintLeavesCompleteFilesAndExits130) {
    TempDir tmp("cli_sigint");
    const auto rec = write_scene_recording(tmp / "long.mkv", {.frames = 600, .distinct = 4});
    for (const int signals : {1, 2}) {
        SCOPED_TRACE(signals);
        const auto out = tmp / fmt::format("out{}", signals);
        const auto copy = tmp / fmt::format("copy{}.mkv", signals);
        const pid_t pid = spawn_kelvo({"depth", rec.string(), "--backend", "stereo-bm", "--variant",
                                       "480x720", "--out", out.string(), "--record", copy.string()},
                                      tmp);
        wait_for([&] { return fs::exists(out / "disparity_000000.tiff"); });
        for (int i = 0; i < signals; ++i) ::kill(pid, SIGINT);
        EXPECT_EQ(exit_status(pid), 130) << read_text(tmp / "err.txt");

        int maps = 0;
        for (const auto& name : files_in(out)) {
            if (name.ends_with(".partial")) {
                EXPECT_EQ(signals, 2) << name << " left by a clean stop";
                continue;
            }
            if (name.ends_with(".tiff")) {
                ++maps;
                const cv::Mat map = cv::imread((out / name).string(), cv::IMREAD_UNCHANGED);
                EXPECT_EQ(map.type(), CV_32F) << name;
                EXPECT_EQ(map.size(), cv::Size(640, 360)) << name;
            } else if (name.ends_with(".png")) {
                EXPECT_FALSE(cv::imread((out / name).string()).empty()) << name;
            }
        }
        EXPECT_GE(maps, 1);
        EXPECT_LT(maps, 600) << "the run was not interrupted";
        if (signals == 2) continue;
        EXPECT_EQ(csv_rows(out / "frames.csv").size(), static_cast<std::size_t>(maps) + 1);
        EXPECT_EQ(Json::parse(read_text(out / "run.json"))["interrupted"], true);
        EXPECT_NE(read_text(tmp / "out.txt").find(fmt::format("{} frames in", maps)),
                  std::string::npos);
        const auto info = kelvo_cli("info --json " + copy.string(), tmp);
        ASSERT_EQ(info.status, 0) << info.err;
        const Json j = Json::parse(info.out);
        EXPECT_EQ(j["frame_count"], maps);
        EXPECT_GE(j["duration_us"].get<std::int64_t>(), (maps - 1) * 33000);
    }
}

TEST(KelvoInterrupt, ReplayStopsWithItsSummary) {
    TempDir tmp("cli_sigint_replay");
    const auto rec = write_scene_recording(tmp / "rec.mkv", {.frames = 10, .distinct = 2});
    const pid_t pid = spawn_kelvo({"replay", rec.string(), "--mode", "realtime", "--loop"}, tmp);
    wait_for([&] { return read_text(tmp / "out.txt").find("frame") != std::string::npos; });
    ::kill(pid, SIGINT);
    EXPECT_EQ(exit_status(pid), 130) << read_text(tmp / "err.txt");
    const std::string out = read_text(tmp / "out.txt");
    std::size_t lines = 0;
    for (auto p = out.find("pts_us"); p != std::string::npos; p = out.find("pts_us", p + 1))
        ++lines;
    EXPECT_NE(out.find(fmt::format("\n{} frames\n", lines)), std::string::npos) << out;
}

// A --record copy replays, frame for frame, with the calibration and control
// values the source had at those frames, also when the range starts after
// an update; `kelvo info` on a full copy equals the source but for its path.
TEST(KelvoRecord, CopyOfAReplayKeepsTheSourceHistory) {
    TempDir tmp("cli_copy");
    const auto rec = write_scene_recording(tmp / "src.mkv", {.frames = 10});
    const auto source = json_lines(kelvo_cli("replay --json " + rec.string(), tmp).out);
    ASSERT_EQ(source.size(), 10u);
    struct Case {
        std::string range;
        std::vector<int> frames;
    };
    const Case cases[] = {{"", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
                          {"--start 4", {4, 5, 6, 7, 8, 9}},
                          {"--every 3", {0, 3, 6, 9}},
                          {"--start 5 --end 9 --every 2", {5, 7}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.range);
        const auto copy = tmp / "copy.mkv";
        fs::remove(copy);
        fs::remove_all(tmp / "maps");
        const auto run =
            kelvo_cli("depth " + rec.string() + " --backend stereo-bm " + c.range + " --out " +
                          (tmp / "maps").string() + " --record " + copy.string(),
                      tmp);
        ASSERT_EQ(run.status, 0) << run.err;
        const auto replayed = json_lines(kelvo_cli("replay --json " + copy.string(), tmp).out);
        ASSERT_EQ(replayed.size(), c.frames.size());
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const Json& want = source[static_cast<std::size_t>(c.frames[i])];
            EXPECT_EQ(replayed[i]["calibration"], want["calibration"]) << "frame " << c.frames[i];
            EXPECT_EQ(replayed[i]["controls"], want["controls"]) << "frame " << c.frames[i];
        }
        // frames.csv names the calibration in force for each map.
        const auto rows = csv_rows(tmp / "maps" / "frames.csv");
        ASSERT_EQ(rows.size(), c.frames.size() + 1);
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            const int f = c.frames[i];
            EXPECT_EQ(rows[i + 1][4], f < 3 ? "factory" : f < 7 ? "update:0" : "update:1");
        }
    }
    const auto copy = tmp / "copy.mkv";
    fs::remove(copy);
    fs::remove_all(tmp / "maps");
    ASSERT_EQ(kelvo_cli("depth " + rec.string() + " --backend rectify-passthrough --out " +
                            (tmp / "maps").string() + " --record " + copy.string(),
                        tmp)
                  .status,
              0);
    Json a = Json::parse(kelvo_cli("info --json " + rec.string(), tmp).out);
    Json b = Json::parse(kelvo_cli("info --json " + copy.string(), tmp).out);
    a.erase("path");
    b.erase("path");
    EXPECT_EQ(a, b);
}

TEST(KelvoDepthOutputs, ExitStatusTellsWhetherAnyFrameCameOut) {
    TempDir tmp("cli_undecodable");
    const auto mpeg4 = tmp / "mpeg4.mkv";
    ASSERT_EQ(
        kelvo::testing::run_command("ffmpeg -v error -f lavfi -i testsrc=size=1280x360:rate=30 "
                                    "-frames:v 5 -c:v mpeg4 -y " +
                                    mpeg4.string()),
        0);
    const auto ok = write_scene_recording(tmp / "ok.mkv", {.frames = 3});
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const std::string out = " --out " + (tmp / "o").string();
    const Case cases[] = {
        {"depth " + mpeg4.string() + " --backend stereo-bm" + out, 1,
         "all 5 frames failed to decode"},
        {"depth " + mpeg4.string() + " --backend stereo-bm" + out, 1, "'mpeg4'"},
        {"depth " + ok.string() + " --backend stereo-bm --start 1 --end 1" + out, 2,
         "--end 1 must come after --start 1"},
        {"depth " + ok.string() + " --backend stereo-bm --start 5" + out, 1, "past the last frame"},
        {"replay " + ok.string() + " --start 40ms --end 50ms", 1, "no frame in the selected range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = kelvo_cli(c.args, tmp);
        EXPECT_EQ(run.status, c.status);
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_FALSE(fs::exists(tmp / "o")) << "a run that wrote nothing leaves no folder";
    }
    const auto info = kelvo_cli("info --json " + mpeg4.string(), tmp);
    ASSERT_EQ(info.status, 0);
    const Json j = Json::parse(info.out);
    EXPECT_EQ(j["codec"], "mpeg4");
    EXPECT_EQ(j["decodable"], false);
    EXPECT_NE(info.err.find("cannot decode"), std::string::npos) << info.err;
}

TEST(KelvoDepthOutputs, MapsSayWhatTheyHold) {
    TempDir tmp("cli_maps");
    const auto rec = write_scene_recording(tmp / "rec.mkv", {.frames = 4});
    const auto out = tmp / "maps";
    ASSERT_EQ(kelvo_cli("depth " + rec.string() + " --backend stereo-bm --out " + out.string(), tmp)
                  .status,
              0);
    const std::string tiff = read_text(out / "disparity_000002.tiff");
    EXPECT_NE(tiff.find("disparity of the left rectified eye in pixels"), std::string::npos);
    const cv::Mat map = cv::imread((out / "disparity_000002.tiff").string(), cv::IMREAD_UNCHANGED);
    const cv::Mat preview = cv::imread((out / "disparity_000002.png").string());
    EXPECT_EQ(preview.rows, map.rows);
    EXPECT_GT(preview.cols, map.cols) << "the preview carries its colour bar";
    const auto rows = csv_rows(out / "frames.csv");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"sequence", "pts_us", "source_frame_idx", "file",
                                                 "calibration", "preview_min", "preview_max",
                                                 "confidence"}));
    EXPECT_EQ(rows[3][2], "2");
    EXPECT_EQ(rows[3][3], "disparity_000002.tiff");
    EXPECT_EQ(rows[3][7], "confidence_000002.png");
    // The confidence beside the map: its size, 8-bit, no trust exactly where there is no estimate.
    const cv::Mat confidence =
        cv::imread((out / "confidence_000002.png").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(confidence.type(), CV_8U);
    ASSERT_EQ(confidence.size(), map.size());
    EXPECT_EQ(cv::countNonZero((confidence == 0) != ~(map == map)), 0);
    EXPECT_EQ(std::stoll(rows[3][1]), 2 * FRAME_US);
    double lo = 0, hi = 0;
    cv::minMaxLoc(map, &lo, &hi, nullptr, nullptr, map == map);
    EXPECT_NEAR(std::stod(rows[3][6]), hi, 1e-3 * hi);
    const Json run = Json::parse(read_text(out / "run.json"));
    EXPECT_EQ(run["backend"], "stereo-bm");
    EXPECT_EQ(run["variant"], "256x512");
    EXPECT_EQ(run["controls"]["num_disparities"], 96);
    EXPECT_EQ(run["maps"]["unit"], "pixels");
    EXPECT_TRUE(run["calibrations"].contains("factory"));
    EXPECT_EQ(run["calibrations"]["update:0"]["rel_us"], 3 * FRAME_US);
    EXPECT_FALSE(run["kelvo_version"].get<std::string>().empty());

    // A search wider than the canvas cannot hold a valid disparity: NaN, not 0.
    const auto wide = tmp / "wide";
    ASSERT_EQ(kelvo_cli("depth " + rec.string() + " --backend stereo-bm --max-frames 1 --set " +
                            "num_disparities=512 --out " + wide.string(),
                        tmp)
                  .status,
              0);
    const cv::Mat invalid =
        cv::imread((wide / "disparity_000000.tiff").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(invalid.type(), CV_32F);
    EXPECT_EQ(cv::countNonZero(invalid == invalid), 0);
}

TEST(KelvoRange, StartEndEveryAndStepsSelectTheFrames) {
    TempDir tmp("cli_range");
    const auto rec = write_scene_recording(tmp / "rec.mkv", {.frames = 10});
    struct Case {
        std::string args;
        std::vector<int> frames;
    };
    const Case cases[] = {
        {"--start 3 --end 7", {3, 4, 5, 6}},
        {"--start 3 --every 2", {3, 5, 7, 9}},
        {"--start 0.11s --end 210ms", {4, 5, 6}},
        {"--every 3 --max-frames 3", {0, 3, 6}},
        {"--max-frames 0", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"--end 99", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"--seek 140000 --step 2", {4, 5}},
        {"--seek 140000 --step -2", {4, 3}},
        {"--step -2", {9, 8}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto run = kelvo_cli("replay --json " + rec.string() + " " + c.args, tmp);
        ASSERT_EQ(run.status, 0) << run.err;
        std::vector<int> got;
        for (const auto& line : json_lines(run.out)) got.push_back(line["source_frame_idx"]);
        EXPECT_EQ(got, c.frames);
    }
    struct Error {
        std::string args;
        int status;
        const char* message;
    };
    const Error errors[] = {
        {"--step 0", 2, "--step: must not be 0"},
        {"--step 11", 2, "--step must be within -10..10"},
        {"--every 0", 2, "--every: must be 1 or more"},
        {"--max-frames -1", 2, "--max-frames: must be 0 or more"},
        {"--start 1x", 2, "a frame index (120) or a time with its unit"},
        {"--start 5 --end 2", 2, "must come after --start"},
        {"--start 12", 1, "past the last frame"},
        {"--seek -5", 2, "--seek: must be 0 or more"},
        {"--seek 99000000", 1, "past the end of the recording"},
        {"--seek 5 --start 2", 2, "either --seek or --start"},
        {"--step 2 --every 2", 2, "does not combine"},
    };
    for (const auto& e : errors) {
        SCOPED_TRACE(e.args);
        const auto run = kelvo_cli("replay " + rec.string() + " " + e.args, tmp);
        EXPECT_EQ(run.status, e.status);
        EXPECT_NE(run.err.find(e.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find("frame "), std::string::npos);
    }
    // The same range on `depth` names the maps after the source frames.
    const auto out = tmp / "maps";
    ASSERT_EQ(kelvo_cli("depth " + rec.string() +
                            " --backend stereo-bm --start 3 --every 3 --out " + out.string(),
                        tmp)
                  .status,
              0);
    EXPECT_EQ(files_in(out),
              (std::vector<std::string>{"confidence_000003.png", "confidence_000006.png",
                                        "confidence_000009.png", "disparity_000003.png",
                                        "disparity_000003.tiff", "disparity_000006.png",
                                        "disparity_000006.tiff", "disparity_000009.png",
                                        "disparity_000009.tiff", "frames.csv", "run.json"}));
}

// The point cloud of the synthetic scene: every point projects back onto its
// pixel, and its depth is the depth of the plane seen there.
TEST(KelvoExport, PointCloudLiesOnTheScenePlanes) {
    TempDir tmp("cli_export");
    const auto rec = write_scene_recording(tmp / "rec.mkv", {.frames = 3, .updates = {}});
    const auto out = tmp / "export";
    const auto run = kelvo_cli("export " + rec.string() +
                                   " --what ply,depth,left,rectified --variant 360x640 --end 1 "
                                   "--set post_chain=0 --json --out " +
                                   out.string(),
                               tmp);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(files_in(out),
              (std::vector<std::string>{"cloud_000000.ply", "depth_000000.png", "frames.csv",
                                        "left_000000.png", "rectified_left_000000.png",
                                        "rectified_right_000000.png", "run.json"}));
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto truth = kelvo::detail::render_synthetic_frame(scene, 0);
    EXPECT_EQ(cv::imread((out / "left_000000.png").string()).size(), truth.left.size());

    std::ifstream ply(out / "cloud_000000.ply", std::ios::binary);
    std::size_t count = 0;
    for (std::string line; std::getline(ply, line) && line != "end_header";) {
        if (line.rfind("element vertex ", 0) == 0) count = std::stoul(line.substr(15));
    }
    EXPECT_EQ(Json::parse(run.out)["points"], count);
    ASSERT_GT(count, 640u * 360u / 2);
    const cv::Mat depth_mm = cv::imread((out / "depth_000000.png").string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(depth_mm.type(), CV_16U);
    const double f = scene.focal_px, cx = (640 - 1) / 2.0, cy = (360 - 1) / 2.0;
    std::size_t on_plane = 0, seen = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char record[15];
        ply.read(record, sizeof record);
        ASSERT_TRUE(ply.good());
        float p[3];
        std::memcpy(p, record, sizeof p);
        const int u = static_cast<int>(std::lround(p[0] * f / p[2] + cx));
        const int v = static_cast<int>(std::lround(p[1] * f / p[2] + cy));
        ASSERT_TRUE(u >= 0 && u < 640 && v >= 0 && v < 360) << u << "," << v;
        if (!truth.visible.at<std::uint8_t>(v, u)) continue;
        ++seen;
        const double plane_depth = f * scene.baseline_m / truth.disparity.at<float>(v, u);
        on_plane += std::abs(p[2] - plane_depth) <= 0.02 * plane_depth ? 1 : 0;
        if (i % 997 == 0) {
            EXPECT_NEAR(depth_mm.at<std::uint16_t>(v, u), p[2] * 1000.0, 1.0);
        }
    }
    EXPECT_GT(static_cast<double>(on_plane), 0.95 * static_cast<double>(seen));

    const auto bare = tmp / "bare.mkv";
    ASSERT_EQ(kelvo::testing::run_command("ffmpeg -v error -f lavfi -i testsrc=size=128x32:rate=30 "
                                          "-frames:v 2 -c:v mjpeg -y " +
                                          bare.string()),
              0);
    struct Error {
        std::string args;
        int status;
        const char* message;
    };
    const Error errors[] = {
        {"--what left,normals", 2, "--what takes a comma-separated list"},
        {"--what disparity --backend rectify-passthrough", 2, "need a back-end that computes maps"},
        {"--what ply --backend no-such", 2, "unknown inference back-end 'no-such'"},
    };
    for (const auto& e : errors) {
        SCOPED_TRACE(e.args);
        const auto failed = kelvo_cli(
            "export " + rec.string() + " " + e.args + " --out " + (tmp / "x").string(), tmp);
        EXPECT_EQ(failed.status, e.status);
        EXPECT_NE(failed.err.find(e.message), std::string::npos) << failed.err;
        EXPECT_FALSE(fs::exists(tmp / "x"));
    }
    const auto uncalibrated =
        kelvo_cli("export " + bare.string() + " --what ply --out " + (tmp / "x").string(), tmp);
    EXPECT_EQ(uncalibrated.status, 1);
    EXPECT_NE(uncalibrated.err.find("need the camera's calibration"), std::string::npos)
        << uncalibrated.err;
    EXPECT_FALSE(fs::exists(tmp / "x"));
}

TEST(KelvoCalibration, DumpsTheCalibrationInForceForOpenCV) {
    TempDir tmp("cli_calibration");
    const auto rec = write_scene_recording(tmp / "rec.mkv", {.frames = 6, .updates = {3}});
    struct Case {
        std::string at;
        const char* origin;
        double tx;
    };
    const Case cases[] = {
        {"", "factory", -0.06}, {"99998", "factory", -0.06}, {"99999", "update", -0.0606}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at);
        const std::string at = c.at.empty() ? "" : " --at " + c.at;
        const auto json = kelvo_cli("calibration " + rec.string() + at, tmp);
        ASSERT_EQ(json.status, 0) << json.err;
        const Json j = Json::parse(json.out);
        EXPECT_EQ(j["origin"], c.origin);
        EXPECT_NEAR(j["calibration"]["T"][0].get<double>(), c.tx, 1e-9);
        EXPECT_EQ(j["rectification"]["P2"].size(), 3u);
        const auto yaml =
            kelvo_cli("calibration " + rec.string() + at + " --format opencv-yaml", tmp);
        ASSERT_EQ(yaml.status, 0) << yaml.err;
        cv::FileStorage fs(yaml.out, cv::FileStorage::READ | cv::FileStorage::MEMORY);
        cv::Mat k1, t;
        fs["K1"] >> k1;
        fs["T"] >> t;
        EXPECT_EQ(static_cast<int>(fs["image_width"]), 640);
        EXPECT_DOUBLE_EQ(k1.at<double>(0, 0), 500.0);
        EXPECT_NEAR(t.at<double>(0), c.tx, 1e-9);
    }
    const auto bare = tmp / "bare.mkv";
    ASSERT_EQ(kelvo::testing::run_command("ffmpeg -v error -f lavfi -i testsrc=size=64x32:rate=30 "
                                          "-frames:v 2 -c:v mjpeg -y " +
                                          bare.string()),
              0);
    const auto none = kelvo_cli("calibration " + bare.string(), tmp);
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("carries no calibration"), std::string::npos) << none.err;
}

// A calibration event that does not build fails again at every later frame:
// said once, then counted.
TEST(KelvoLogging, ABadCalibrationEventIsLoggedOnceAndLevelsApply) {
    TempDir tmp("cli_fold");
    const auto rec =
        write_scene_recording(tmp / "rec.mkv", {.frames = 10, .updates = {}, .bad_update = 2});
    struct Case {
        std::string options;
        int shown;
    };
    const Case cases[] = {{"", 1}, {" --quiet", 1}, {" --log-level off", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        const auto run = kelvo_cli("replay " + rec.string() + c.options, tmp);
        ASSERT_EQ(run.status, 0) << run.err;
        std::size_t shown = 0;
        const std::string logged = "] _advance_calibration_to: from_dict failed";
        for (auto p = run.err.find(logged); p != std::string::npos;
             p = run.err.find(logged, p + 1)) {
            ++shown;
        }
        EXPECT_EQ(shown, static_cast<std::size_t>(c.shown)) << run.err;
        // The reader itself tries a bad event once: nothing is left to fold.
        EXPECT_EQ(run.err.find("more times"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("indexed 10 frames") != std::string::npos, c.options.empty());
    }
}

// Each command explains every option, the same way through `kelvo help CMD`,
// `--help` and `-h`, and README's command table lists exactly those options.
TEST(KelvoHelp, EveryOptionIsExplainedAndTheReadmeTableMatches) {
    TempDir tmp("cli_help");
    const std::string readme = read_text(fs::path(KELVO_SOURCE_DIR) / "README.md");
    const std::regex option(R"(--[a-z][a-z-]*)");
    const auto options_in = [&](const std::string& text) {
        std::set<std::string> out;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
             it != std::sregex_iterator(); ++it) {
            out.insert(it->str());
        }
        return out;
    };
    const std::set<std::string> shared = {"--help", "--quiet", "--log-level"};
    const char* commands[] = {"catalog", "demo",    "info",        "replay",
                              "depth",   "export",  "calibration", "backends",
                              "models",  "cameras", "record",      "calibrate"};
    for (const char* command : commands) {
        SCOPED_TRACE(command);
        const auto help = kelvo_cli(std::string(command) + " --help", tmp);
        ASSERT_EQ(help.status, 0) << help.err;
        EXPECT_EQ(kelvo_cli(std::string("help ") + command, tmp).out, help.out);
        EXPECT_EQ(kelvo_cli(std::string(command) + " -h", tmp).out, help.out);
        auto listed = options_in(help.out);
        for (const auto& s : shared) EXPECT_EQ(listed.erase(s), 1u) << s;
        // The README row of this command: "| `kelvo CMD ...` | ... |".
        const std::regex row("\\| `kelvo " + std::string(command) + "[ `][^\n]*");
        std::smatch m;
        ASSERT_TRUE(std::regex_search(readme, m, row));
        const std::string line = m.str();
        const std::string usage = line.substr(0, line.find("` |"));
        EXPECT_EQ(options_in(usage), listed) << usage;
        // Each option's entry runs from its name to the next option's name.
        for (const auto& o : listed) {
            std::smatch entry;
            ASSERT_TRUE(std::regex_search(help.out, entry,
                                          std::regex("\n +" + o + "\\b([\\s\\S]*?)(\n +-|$)")))
                << o;
            EXPECT_GT(entry[1].length(), 30) << o << " is not explained";
        }
    }
    EXPECT_EQ(kelvo_cli("info -h", tmp).status, 0);
    EXPECT_EQ(kelvo_cli("help nope", tmp).status, 2);
}

TEST(KelvoModels, ListsEveryExpectedFileWithItsPathAndStatus) {
    TempDir tmp("cli_models");
    const std::string home = "HOME=" + tmp.path().string();
    const auto listed = kelvo_cli("models --json", tmp, home);
    ASSERT_EQ(listed.status, 0) << listed.err;
    const Json files = Json::parse(listed.out);
    const Json* lightstereo = nullptr;
    for (const auto& f : files) {
        EXPECT_EQ(f["path"].get<std::string>().rfind(
                      (tmp.path() / ".cache" / "kelvo_camera_sdk" / "models").string(), 0),
                  0u);
        EXPECT_EQ(f["present"], false);
        if (f["backend"] == "lightstereo" && !lightstereo) lightstereo = &f;
    }
    ASSERT_NE(lightstereo, nullptr) << listed.out;
    const fs::path model = (*lightstereo)["path"].get<std::string>();
    fs::create_directories(model.parent_path());
    std::ofstream(model) << "stand-in";
    const Json after = Json::parse(kelvo_cli("models --json", tmp, home).out);
    const Json backends = Json::parse(kelvo_cli("backends --json", tmp, home).out);
    for (const auto& f : after) {
        EXPECT_EQ(f["present"], f["path"] == model.string()) << f["path"];
    }
    for (const auto& b : backends) {
        EXPECT_EQ(b["default_variant"], b["variants"][0]["slug"]);
        for (const auto& v : b["variants"]) {
            bool present = true;
            for (const auto& f : after) {
                if (f["backend"] == b["key"] &&
                    std::find(f["variants"].begin(), f["variants"].end(), v["slug"]) !=
                        f["variants"].end()) {
                    present = present && f["present"].get<bool>();
                }
            }
            EXPECT_EQ(v["models_present"], present) << b["key"] << " " << v["slug"];
        }
    }
}

}  // namespace kelvo_cli_test
