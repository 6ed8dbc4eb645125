// `kelvo record`: records a connected camera into a Matroska recording.
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "console.hpp"
#include "interrupt.hpp"
#include "kelvo/cameras.hpp"
#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/cameras/kelvo_fenwa.hpp"
#include "kelvo/log.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "kelvo/writers/safe_output.hpp"

namespace kelvo::cli {

void print_camera_table(const std::vector<KelvoCameraInfo>& cameras, std::FILE* out);

namespace {

struct RecordArgs {
    std::string serial;
    std::string out;
    std::string mode;
    double seconds = 10.0;
    std::vector<std::string> settings;
    std::string calibration;
    bool force = false;
};

std::pair<std::string, double> parse_setting(const std::string& text) {
    const auto [name, value_text] = split_setting(text, "--set");
    const auto value = parse_number(value_text);
    if (!value || !std::isfinite(*value)) {
        throw UsageError("--set expects NAME=VALUE with a numeric VALUE; got '" + text + "'");
    }
    return {name, *value};
}

/// Checks the mode and control values against one family; the message of
/// the first problem, or empty.
std::string check_against(const CameraSpec& family, const std::string& mode,
                          const std::vector<std::pair<std::string, double>>& controls) {
    if (!mode.empty() && !family.mode_by_slug(mode)) {
        return fmt::format("unknown capture mode {} (see kelvo catalog)", repr(mode));
    }
    for (const auto& [name, value] : controls) {
        const CameraControl* found = nullptr;
        for (const auto& c : family.platform_controls()) {
            if (c.name == name) found = &c;
        }
        if (!found) return "unknown camera control " + repr(name);
        try {
            check_camera_control_value(*found, Json(value));
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
    }
    return {};
}

KelvoCameraInfo pick_camera(const std::string& serial) {
    if (!serial.empty()) {
        auto camera = get_connected_kelvo_camera_by_serial(serial);
        if (!camera)
            throw ExitError(EXIT_FAILED, "no connected camera with serial " + repr(serial));
        return *camera;
    }
    const auto cameras = list_connected_kelvo_cameras();
    if (cameras.empty()) throw ExitError(EXIT_FAILED, "no connected Kelvo cameras found");
    if (cameras.size() > 1) {
        std::fprintf(stderr, "kelvo record: %zu Kelvo cameras are connected:\n", cameras.size());
        print_camera_table(cameras, stderr);
        throw ExitError(EXIT_USAGE, "kelvo record: pick one with --serial SERIAL");
    }
    return cameras.front();
}

int run_record(const RecordArgs& args) {
    std::vector<std::pair<std::string, double>> initial_controls;
    for (const auto& setting : args.settings) initial_controls.push_back(parse_setting(setting));
    // Known to some family before any device is looked at; then to the camera's own.
    const std::string anywhere = check_against(KELVO_CORVAN, args.mode, initial_controls);
    if (!anywhere.empty() && !check_against(KELVO_FENWA, args.mode, initial_controls).empty()) {
        throw UsageError(anywhere);
    }
    refuse_existing_file(args.out, args.force, "--out");
    // Read before any device is touched: a bad file is a usage error.
    const CalibrationPtr calibration =
        args.calibration.empty() ? nullptr : load_calibration_file(args.calibration);

    KelvoCameraInfo camera = pick_camera(args.serial);
    // The recording stores it as its base calibration, as if the camera had it.
    if (calibration) camera.base_calibration = calibration;
    if (!camera.spec)
        throw ExitError(EXIT_FAILED, "camera " + camera.os_id + " is not in the catalogue");
    if (const auto problem = check_against(*camera.spec, args.mode, initial_controls);
        !problem.empty()) {
        throw ExitError(EXIT_USAGE, fmt::format("{} for {} (see kelvo catalog --sku {})", problem,
                                                camera.sku, camera.sku));
    }
    std::optional<CaptureMode> mode;
    if (!args.mode.empty()) {
        mode = camera.spec->mode_by_slug(args.mode);
        if (!mode->is_supported) {
            std::fprintf(stderr, "warning: capture mode %s is not supported by this camera\n",
                         args.mode.c_str());
        }
    }

    catch_interrupts();
    LiveCapture source(
        camera, {.mode = mode, .initial_controls = initial_controls, .calibration = calibration});
    const CameraInfo info = source.open();
    PendingFile file(args.out);

    MkvRecorderOptions options;
    options.path = file.path().string();
    options.width = info.width;
    options.height = info.height;
    options.clock_domain = info.clock_domain;
    options.camera_info_payload = camera.to_dict();
    options.camera_controls = control_values(source);
    options.camera_name = info.camera_name;
    options.camera_serial = info.camera_serial;
    options.camera_controls_provider = [&source] { return control_values(source); };
    options.capture_mode_slug = source.mode_slug().value_or("");
    options.source_fourcc = source.fourcc();
    options.t0_monotonic_ns_provider = [&source] { return source.t0_monotonic_ns(); };
    options.fps = info.fps;
    // Shared with the fan-out callback, which may still be running on the
    // pump thread when this function unwinds.
    auto recorder = std::make_shared<MkvRecorder>(options);
    recorder->start();
    auto feed = make_frame_callback([recorder](const FramePtr& frame) { recorder->feed(frame); });
    source.add_fanout(feed);

    note(fmt::format(
        "recording {} ({}, {}) to {} {}; Ctrl-C stops", camera.os_id, camera.sku,
        source.mode_slug().value_or("?"), args.out,
        args.seconds > 0 ? fmt::format("for {} s", args.seconds) : std::string("until Ctrl-C")));
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(args.seconds);
    while (!interrupted() && (args.seconds == 0 || std::chrono::steady_clock::now() < until)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!recorder->is_running()) break;  // a write error stopped it
    }

    source.remove_fanout(feed);
    RecordingResult result = recorder->stop();
    source.close();
    if (result.frames_written > 0) {
        file.commit();
        result.path = args.out;
    } else {
        file.discard();
    }
    fmt::print("recorded {} frames ({} dropped), {:.2f} s, {} bytes to {}\n", result.frames_written,
               result.frames_dropped, result.duration_us / 1e6, result.bytes,
               result.frames_written > 0 ? args.out : std::string("nothing (no frame arrived)"));
    if (interrupted()) return EXIT_INTERRUPTED;
    return result.frames_written > 0 ? 0 : EXIT_FAILED;
}

const bool record_registered = register_command({
    .name = "record",
    .summary = "record a connected camera into a Matroska recording",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<RecordArgs>();
            app.add_option("--out", args->out,
                           "the new recording (.mkv); an existing file is refused unless --force")
                ->type_name("REC")
                ->required();
            app.add_option("--serial", args->serial,
                           "serial of the camera (see `kelvo cameras`); default: the only "
                           "connected camera")
                ->type_name("SERIAL");
            app.add_option("--mode", args->mode,
                           "capture mode slug, WIDTHxHEIGHT@FPS-FOURCC (see `kelvo catalog`); "
                           "default: the camera's default mode")
                ->type_name("SLUG");
            app.add_option("--seconds", args->seconds,
                           "how long to record, in seconds; 0 records until Ctrl-C")
                ->type_name("S")
                ->check(CLI::Validator(
                    [](std::string& text) -> std::string {
                        const auto v = parse_number(text);
                        if (!v || !std::isfinite(*v) || *v < 0) {
                            return "expects a number of seconds, 0 or more; got '" + text + "'";
                        }
                        return {};
                    },
                    ""))
                ->capture_default_str();
            app.add_option("--set", args->settings,
                           "set a camera control before recording (names, units and ranges: "
                           "`kelvo catalog`); repeatable")
                ->type_name("NAME=VALUE")
                ->allow_extra_args(false);
            app.add_option("--calibration", args->calibration,
                           "a calibration in the kit's JSON (as `kelvo calibrate` writes it) "
                           "that replaces the camera's own and is stored as the recording's "
                           "base calibration")
                ->type_name("FILE");
            app.add_flag("--force", args->force, "replace an existing --out file");
            return [args] { return run_record(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
