// The calibration tools: calibrate from board views, check a recording's
// calibration, correct it into a copy. The kit's functions do the work; the
// interpreter lock is released while they run.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "kelvo/calibration/board_calibration.hpp"
#include "kelvo/calibration/health_check.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/writers/safe_output.hpp"
#include "records.hpp"

namespace kelvo::py {
namespace bind_calibration {

/// A glob (one text) or a list of paths.
std::vector<std::filesystem::path> files_of(nb::handle value, const char* what) {
    if (nb::isinstance<nb::str>(value)) {
        const auto pattern = nb::cast<std::string>(value);
        auto files = glob_files(pattern);
        if (files.empty()) {
            throw std::invalid_argument(std::string(what) + " " + pattern + " matches no file");
        }
        return files;
    }
    std::vector<std::filesystem::path> files;
    for (nb::handle item : value) files.emplace_back(nb::cast<std::string>(nb::str(item)));
    if (files.empty()) throw std::invalid_argument(std::string(what) + " names no file");
    return files;
}

std::filesystem::path path_of(nb::handle value) {
    return nb::cast<std::string>(nb::str(value));
}

std::shared_ptr<MkvReplay> open_replay(const std::filesystem::path& recording) {
    if (!std::filesystem::is_regular_file(recording)) {
        throw std::invalid_argument("no such recording: " + recording.string());
    }
    return std::make_shared<MkvReplay>(
        recording, MkvReplayOptions{.replay_mode = "every_frame", .loop = false});
}

void check_frames(CalibrationHealthCheck& check, const std::filesystem::path& recording) {
    auto replay = open_replay(recording);
    const CameraInfo info = replay->open();
    check.add_frames(*replay, info.width, info.height);
    replay->close();
}

}  // namespace bind_calibration

namespace bcal = bind_calibration;

void bind_calibration_tools(nb::module_& m) {
    m.def(
        "_calibrate",
        [](const std::string& board_spec, double square, std::optional<double> marker,
           nb::handle out, nb::handle recording, nb::handle pairs, nb::handle left,
           nb::handle right, bool force) {
            const auto board = CalibrationBoard::parse(board_spec, square, marker);
            std::vector<std::filesystem::path> pair_files, left_files, right_files;
            std::optional<std::filesystem::path> rec;
            if (!recording.is_none()) rec = bcal::path_of(recording);
            if (!pairs.is_none()) pair_files = bcal::files_of(pairs, "pairs");
            if (!left.is_none()) left_files = bcal::files_of(left, "left");
            if (!right.is_none()) right_files = bcal::files_of(right, "right");
            const int inputs = (rec ? 1 : 0) + (pair_files.empty() ? 0 : 1) +
                               (left_files.empty() && right_files.empty() ? 0 : 1);
            if (inputs != 1 || left_files.empty() != right_files.empty()) {
                throw std::invalid_argument(
                    "give one of: recording, pairs, or left and right together");
            }
            const auto dir = bcal::path_of(out);
            BoardCalibrationResult result;
            {
                nb::gil_scoped_release unlocked;
                const OutputFolder folder(dir, force, "out");
                BoardCalibrator calibrator(board);
                if (rec) {
                    auto replay = bcal::open_replay(*rec);
                    const CameraInfo info = replay->open();
                    calibrator.add_frames(*replay, info.width, info.height);
                    replay->close();
                } else if (!pair_files.empty()) {
                    add_image_views(calibrator, pair_files);
                } else {
                    add_image_views(calibrator, left_files, right_files);
                }
                result = calibrator.calibrate();
                write_calibration_outputs(result, folder.path());
            }
            return nb::make_tuple(wrap_calibration(result.calibration), from_json(result.report));
        },
        nb::arg("board"), nb::arg("square"), nb::arg("marker").none(), nb::arg("out"),
        nb::arg("recording").none(), nb::arg("pairs").none(), nb::arg("left").none(),
        nb::arg("right").none(), nb::arg("force"));

    m.def(
        "_check",
        [](nb::handle recording, double window) {
            const auto path = bcal::path_of(recording);
            Json report;
            {
                nb::gil_scoped_release unlocked;
                CalibrationHealthCheck check({.window_s = window});
                bcal::check_frames(check, path);
                report = check.report().to_json();
            }
            return from_json(report);
        },
        nb::arg("recording"), nb::arg("window"));

    m.def(
        "_correct",
        [](nb::handle recording, nb::handle out, std::optional<std::int64_t> update_at,
           double window, bool force) {
            const auto path = bcal::path_of(recording), target = bcal::path_of(out);
            Json result;
            {
                nb::gil_scoped_release unlocked;
                refuse_same_file(path, target, "out");
                refuse_existing_file(target, force, "out");
                const HealthCheckOptions options{.window_s = window};
                CalibrationHealthCheck check(options);
                bcal::check_frames(check, path);
                result = correct_recording(check, path, target, update_at, options).to_json();
            }
            return from_json(result);
        },
        nb::arg("recording"), nb::arg("out"), nb::arg("update_at").none(), nb::arg("window"),
        nb::arg("force"));
}

}  // namespace kelvo::py
