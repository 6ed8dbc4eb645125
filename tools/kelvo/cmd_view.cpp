// `kelvo view`: a recording or an attached camera in the browser. Runs the
// pipeline on the source, serves the viewer page and prints its address;
// recordings and saved frames go to --out with the command's usual safe
// outputs. Ctrl-C finishes a recording in progress before it exits.
#include <chrono>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli.hpp"
#include "console.hpp"
#include "interrupt.hpp"
#include "kelvo/cameras.hpp"
#include "kelvo/log.hpp"
#include "kelvo/pipeline/history_recorder.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_server.hpp"
#include "kelvo/writers/maps.hpp"
#include "kelvo/writers/safe_output.hpp"
#include "options.hpp"

namespace kelvo::cli {
namespace {

namespace fs = std::filesystem;

struct ViewArgs {
    std::string path;
    std::string serial;
    BackendArgs backend;
    std::string host = "127.0.0.1";
    int port = 8765;
    std::string token;
    std::string tls_cert;
    std::string tls_key;
    std::string out = ".";
    std::string calibration;
};

/// The files the page asks for: recordings under a partial name until they
/// stop, and the maps and point cloud of a saved frame.
class ViewOutputs {
  public:
    explicit ViewOutputs(fs::path dir) : _dir(std::move(dir)) {}

    fs::path new_recording() {
        std::lock_guard lock(_mutex);
        fs::create_directories(_dir);
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        const std::string stamp = fmt::format("{:%Y%m%d-%H%M%S}", local);
        fs::path final_path;
        for (int n = 0;; ++n) {
            final_path = _dir / fmt::format("view_{}{}.mkv", stamp, n ? fmt::format("_{}", n) : "");
            if (!fs::exists(final_path) && !_pending.count(final_path.string())) break;
        }
        auto file = std::make_unique<PendingFile>(final_path);
        const fs::path partial = file->path();
        _pending[partial.string()] = std::move(file);
        return partial;
    }

    Json finished(const RecordingResult& result) {
        std::lock_guard lock(_mutex);
        Json j = result.to_json();
        const auto it = _pending.find(result.path);
        if (it == _pending.end()) return j;
        if (result.frames_written > 0) {
            it->second->commit();
            j["path"] = fs::absolute(it->second->final_path()).string();
        } else {
            it->second->discard();
            j["path"] = nullptr;
        }
        _pending.erase(it);
        note(fmt::format(
            "recording: {} frames -> {}", result.frames_written,
            j["path"].is_null() ? "nothing (no frame arrived)" : j["path"].get<std::string>()));
        return j;
    }

    Json save(const FramePacket& packet, const std::string& backend) {
        std::lock_guard lock(_mutex);
        fs::create_directories(_dir);
        const long long index = packet.source_frame_idx.value_or(packet.sequence);
        Json files = Json::array();
        const bool mono = packet.disparity.empty() && !packet.depth.empty();
        if (!packet.disparity.empty()) {
            const std::string stem = frame_stem("disparity", index);
            write_float_map(packet.disparity, _dir / stem, disparity_meaning(backend));
            files.push_back(stem + ".tiff");
            files.push_back(stem + ".png");
        } else if (mono) {
            const std::string stem = frame_stem("depth", index);
            write_float_map(packet.depth, _dir / stem, depth_meaning(backend, true));
            files.push_back(stem + ".tiff");
            files.push_back(stem + ".png");
        }
        if (!packet.depth.empty() && packet.calibration) {
            const std::string name = frame_stem("cloud", index) + ".ply";
            write_packet_ply(packet, _dir / name,
                             fmt::format("kelvo view: frame {} at {} us, back-end {}", index,
                                         packet.pts_us, backend));
            files.push_back(name);
        }
        if (files.empty()) throw RuntimeError("this back-end gives no map to save");
        return {{"folder", fs::absolute(_dir).string()}, {"files", files}};
    }

  private:
    std::mutex _mutex;
    fs::path _dir;
    std::map<std::string, std::unique_ptr<PendingFile>> _pending;
};

std::shared_ptr<FrameSource> open_source(const ViewArgs& args) {
    if (!args.serial.empty()) {
        auto camera = get_connected_kelvo_camera_by_serial(args.serial);
        if (!camera) {
            throw ExitError(EXIT_FAILED, "no connected camera with serial " + repr(args.serial));
        }
        return std::make_shared<LiveCapture>(
            *camera,
            LiveCaptureOptions{.calibration = args.calibration.empty()
                                                  ? nullptr
                                                  : load_calibration_file(args.calibration)});
    }
    if (!fs::is_regular_file(args.path)) {
        throw ExitError(EXIT_FAILED, "kelvo view: error: no such recording: " + args.path);
    }
    return std::make_shared<MkvReplay>(args.path, MkvReplayOptions{.replay_mode = "realtime"});
}

int run_view(ViewArgs args) {
    if (args.path.empty() == args.serial.empty()) {
        throw UsageError("give a recording REC or --serial SERIAL (one of them)");
    }
    if (!args.calibration.empty() && !args.path.empty()) {
        throw UsageError(
            "--calibration replaces a camera's calibration; a recording keeps its own (write a "
            "corrected copy with `kelvo calibration REC --correct OUT.mkv`)");
    }
    if (!args.calibration.empty()) load_calibration_file(args.calibration);  // a bad file: usage
    if (args.token.empty() && !is_loopback_host(args.host)) args.token = generate_token();
    auto outputs = std::make_shared<ViewOutputs>(args.out);
    auto source = open_source(args);

    ViewerSessionOptions options;
    options.source = source;
    options.backend = args.backend.backend.empty() ? "stereo-bm" : args.backend.backend;
    options.variant = args.backend.variant;
    options.controls = parse_controls(args.backend.settings);
    if (auto replay = std::dynamic_pointer_cast<MkvReplay>(source)) {
        // A copy of a recording keeps its camera information and history.
        options.recorder_factory = [replay](MkvRecorderOptions o) {
            return history_recorder_factory(ReplayHistory::of(*replay, o.fps.value_or(30.0)))(
                std::move(o));
        };
    }
    options.hooks.recording_path = [outputs] { return outputs->new_recording(); };
    options.hooks.recording_finished = [outputs](const RecordingResult& r) {
        return outputs->finished(r);
    };
    options.hooks.save_frame = [outputs](const FramePacket& p, const std::string& backend) {
        return outputs->save(p, backend);
    };
    auto session = std::make_shared<ViewerSession>(std::move(options));
    ViewerServer server(session, {.host = args.host,
                                  .port = args.port,
                                  .token = args.token,
                                  .tls_cert_file = args.tls_cert,
                                  .tls_key_file = args.tls_key});

    catch_interrupts();
    session->start();
    route_new_log_channels();
    server.start();
    // On a network without TLS anyone on the way reads the token: say so where it is printed.
    const bool in_clear = !is_loopback_host(args.host) && !server.uses_tls();
    fmt::print("kelvo view: open {}{}\n", server.url(),
               in_clear ? " (no TLS: the token travels in clear over the network; give "
                          "--tls-cert and --tls-key for HTTPS)"
                        : "");
    std::fflush(stdout);
    note("Ctrl-C stops (a recording in progress is finished first)");
    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.stop();
    const Json finished = session->stop();
    if (!finished.is_null()) {
        fmt::print("kelvo view: recording finished: {}\n", finished.dump());
    }
    std::fflush(stdout);
    return EXIT_INTERRUPTED;
}

const bool view_registered = register_command({
    .name = "view",
    .summary = "view a recording or a camera in the browser, with depth, controls and recording",
    .setup =
        [](CLI::App& app) {
            auto args = std::make_shared<ViewArgs>();
            app.add_option("REC", args->path, "the recording (.mkv); or --serial for a camera");
            app.add_option("--serial", args->serial,
                           "serial of an attached camera to view live (see `kelvo cameras`)")
                ->type_name("SERIAL");
            add_backend_options(app, args->backend, /*backend_required=*/false, "stereo-bm");
            app.add_option("--host", args->host,
                           "address to listen on; any other than loopback needs a token")
                ->type_name("ADDR")
                ->capture_default_str();
            app.add_option("--port", args->port, "port to listen on (0: any free port)")
                ->type_name("N")
                ->check(CLI::Range(0, 65535))
                ->capture_default_str();
            app.add_option("--token", args->token,
                           "secret every request must carry (in the printed address); default: "
                           "none on loopback, a random one on any other address")
                ->type_name("TOKEN");
            auto* cert = app.add_option("--tls-cert", args->tls_cert,
                                        "serve HTTPS with this PEM certificate (chain)")
                             ->type_name("FILE")
                             ->check(CLI::ExistingFile);
            auto* key =
                app.add_option("--tls-key", args->tls_key, "the certificate's PEM private key")
                    ->type_name("FILE")
                    ->check(CLI::ExistingFile);
            cert->needs(key);
            key->needs(cert);
            app.add_option("--calibration", args->calibration,
                           "with --serial: a calibration in the kit's JSON (as `kelvo "
                           "calibrate` writes it) that replaces the camera's own for this run "
                           "and is stored as the base calibration of its recordings")
                ->type_name("FILE");
            app.add_option("--out", args->out,
                           "folder for recordings (view_<time>.mkv) and saved frames "
                           "(disparity_NNNNNN.tiff/.png, cloud_NNNNNN.ply)")
                ->type_name("DIR")
                ->capture_default_str();
            return [args] { return run_view(*args); };
        },
});

}  // namespace
}  // namespace kelvo::cli
