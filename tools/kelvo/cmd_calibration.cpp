// `kelvo calibration`: the calibration a recording has in force at a time,
// with the rectification derived from it, as JSON or as an OpenCV YAML file
// (cv::FileStorage; the projection matrices P1/P2 are what ROS camera_info
// calls P).
#include <iostream>

#include <fmt/format.h>
#include <CLI/CLI.hpp>
#include <opencv2/core/persistence.hpp>

#include "cli.hpp"
#include "kelvo/calibration.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "options.hpp"

namespace kelvo::cli {
namespace {

struct CalibrationArgs {
    std::string path;
    long long at_us = 0;
    std::string format = "json";
};

Json matrix_json(const cv::Mat& m) {
    cv::Mat d;
    m.convertTo(d, CV_64F);
    Json rows = Json::array();
    for (int y = 0; y < d.rows; ++y) {
        Json row = Json::array();
        for (int x = 0; x < d.cols; ++x) row.push_back(d.at<double>(y, x));
        rows.push_back(std::move(row));
    }
    return rows;
}

int run_calibration(const CalibrationArgs& args) {
    if (!std::filesystem::is_regular_file(args.path)) {
        throw ExitError(EXIT_FAILED, "kelvo calibration: error: no such recording: " + args.path);
    }
    // Histories are read at open; no frame index is needed.
    MkvReplay replay(args.path,
                     {.replay_mode = "every_frame", .loop = false, .build_frame_index = false});
    replay.open();
    // The same choice the replay makes for a frame at that time: the last
    // update at or before it that builds, else the factory calibration.
    CalibrationPtr calibration = replay.base_calibration();
    std::optional<std::int64_t> since;
    for (const auto& [rel_us, payload] : replay.calibration_history()) {
        if (rel_us > args.at_us) break;
        try {
            calibration = Calibration::from_dict(payload);
            since = rel_us;
        } catch (const std::exception& e) {
            std::fprintf(stderr,
                         "kelvo calibration: warning: the update at %lld us does not build (%s); "
                         "the one before stays in force\n",
                         static_cast<long long>(rel_us), e.what());
        }
    }
    replay.close();
    if (!calibration) {
        throw ExitError(EXIT_FAILED, "kelvo calibration: " + args.path +
                                         " carries no calibration at " +
                                         std::to_string(args.at_us) + " us");
    }
    const HeightWidth size = calibration->image_size();
    const auto r = calibration->rectification(size);
    const cv::Mat k1(calibration->left().camera_matrix), k2(calibration->right().camera_matrix);
    const cv::Mat d1(calibration->left().dist_coeffs, true),
        d2(calibration->right().dist_coeffs, true);
    const cv::Mat rotation(calibration->R()), translation(calibration->T());

    if (args.format == "json") {
        Json j;
        j["recording"] = args.path;
        j["at_us"] = args.at_us;
        j["origin"] = since ? "update" : "factory";
        j["in_force_since_us"] = since ? Json(*since) : Json(nullptr);
        j["calibration"] = calibration->to_dict();
        j["rectification"] = Json{{"image_size", {size.width, size.height}},
                                  {"R1", matrix_json(r->R1)},
                                  {"R2", matrix_json(r->R2)},
                                  {"P1", matrix_json(r->P1)},
                                  {"P2", matrix_json(r->P2)},
                                  {"Q", matrix_json(r->Q)},
                                  {"baseline_m", r->baseline_m}};
        std::cout << j.dump(2) << "\n";
        return 0;
    }
    cv::FileStorage fs(".yaml", cv::FileStorage::WRITE | cv::FileStorage::MEMORY);
    fs.writeComment(fmt::format(
        "kelvo calibration of {} in force at {} us ({}); T in metres; "
        "K/D per eye as cv::stereoRectify takes them, R1 R2 P1 P2 Q as it "
        "gives them",
        args.path, args.at_us, since ? fmt::format("update at {} us", *since) : "factory"));
    fs << "image_width" << size.width << "image_height" << size.height;
    fs << "K1" << k1 << "D1" << d1.reshape(1, 1) << "K2" << k2 << "D2" << d2.reshape(1, 1);
    fs << "R" << rotation << "T" << translation;
    fs << "R1" << r->R1 << "R2" << r->R2 << "P1" << r->P1 << "P2" << r->P2 << "Q" << r->Q;
    std::cout << fs.releaseAndGetString();
    return 0;
}

const bool calibration_registered = register_command({
    .name = "calibration",
    .summary = "print the calibration in force at a time, for OpenCV and ROS",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<CalibrationArgs>();
            app.add_option("REC", args->path, "the recording (.mkv)")->required();
            app.add_option("--at", args->at_us,
                           "recording time in microseconds from its start; the calibration in "
                           "force then (the factory one until the first update)")
                ->type_name("US")
                ->check(at_least(0))
                ->capture_default_str();
            app.add_option("--format", args->format,
                           "json: the calibration with its rectification (R1, R2, P1, P2, Q); "
                           "opencv-yaml: the same as a cv::FileStorage YAML file")
                ->type_name("json|opencv-yaml")
                ->check(one_of({"json", "opencv-yaml"}))
                ->capture_default_str();
            return [args] { return run_calibration(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
