// `kelvo record`: records a connected camera into a Matroska recording.
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <thread>

#include <fmt/format.h>

#include "cli.hpp"
#include "kelvo/cameras.hpp"
#include "kelvo/log.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/sources/live_capture.hpp"

namespace kelvo::cli {
namespace {

std::atomic<bool> interrupted{false};

extern "C" void on_interrupt(int) {
    interrupted.store(true);
}

std::pair<std::string, double> parse_setting(const std::string& text) {
    const auto eq = text.find('=');
    const std::string message = "--set expects NAME=VALUE with a numeric VALUE; got '" + text + "'";
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) throw UsageError(message);
    const auto value = parse_number(std::string_view(text).substr(eq + 1));
    if (!value || !std::isfinite(*value)) throw UsageError(message);
    return {text.substr(0, eq), *value};
}

int run_record(const Args& args) {
    const auto serial = args.value("--serial");
    if (!serial) throw UsageError("--serial is required");
    const auto out = args.value("--out");
    if (!out) throw UsageError("--out is required");
    const double seconds = args.number("--seconds", 10.0);
    if (!(seconds > 0) || !std::isfinite(seconds)) {
        throw UsageError(fmt::format("--seconds expects a positive number; got {}", seconds));
    }
    std::vector<std::pair<std::string, double>> initial_controls;
    for (const auto& setting : args.all("--set"))
        initial_controls.push_back(parse_setting(setting));

    auto camera = get_connected_kelvo_camera_by_serial(*serial);
    if (!camera) throw ExitError(1, "no connected camera with serial " + repr(*serial));

    std::optional<CaptureMode> mode;
    if (auto slug = args.value("--mode")) {
        mode = camera->spec->mode_by_slug(*slug);
        if (!mode) {
            throw ExitError(2, fmt::format("unknown capture mode {} for {} (see kelvo catalog "
                                           "--sku {})",
                                           repr(*slug), camera->sku, camera->sku));
        }
        if (!mode->is_supported) {
            fmt::print(stderr, "warning: capture mode {} is not supported by this camera\n", *slug);
        }
    }
    for (const auto& [name, value] : initial_controls) {
        bool known = false;
        for (const auto& control : camera->spec->platform_controls()) known |= control.name == name;
        if (!known) throw ExitError(2, "unknown camera control " + repr(name));
    }

    LiveCapture source(*camera, {.mode = mode, .initial_controls = initial_controls});
    const CameraInfo info = source.open();

    MkvRecorderOptions options;
    options.path = *out;
    options.width = info.width;
    options.height = info.height;
    options.clock_domain = info.clock_domain;
    options.camera_info_payload = camera->to_dict();
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

    interrupted.store(false);
    auto previous = std::signal(SIGINT, on_interrupt);
    fmt::print("recording {} ({}, {}) to {} for {} s; Ctrl-C stops\n", camera->os_id, camera->sku,
               source.mode_slug().value_or("?"), *out, seconds);
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!interrupted.load() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!recorder->is_running()) break;  // a write error stopped it
    }
    std::signal(SIGINT, previous);

    source.remove_fanout(feed);
    const RecordingResult result = recorder->stop();
    source.close();
    fmt::print("recorded {} frames ({} dropped), {:.2f} s, {} bytes to {}\n", result.frames_written,
               result.frames_dropped, result.duration_us / 1e6, result.bytes, result.path);
    return result.frames_written > 0 ? 0 : 1;
}

const bool registered = register_command({
    .name = "record",
    .usage = "record --serial SERIAL --out REC [--mode SLUG] [--seconds S] [--set NAME=VALUE]...",
    .summary = "record a connected camera into a Matroska recording",
    .value_options = {"--serial", "--out", "--mode", "--seconds", "--set"},
    .run = run_record,
});

}  // namespace
}  // namespace kelvo::cli
