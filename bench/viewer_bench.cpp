// The viewer's cost with one page attached at 30 fps: a realtime replay of a
// 30 fps `kelvo demo` recording run (a) through the pipeline alone and (b)
// through the viewer with a client on loopback reading what the page reads
// (the left, right and disparity MJPEG streams and the server-sent figures).
// The client asks for each panel at the width a page in a 1920-px-wide window
// shows it (device pixel ratio 1), as the page does; a second viewer pass asks
// for the full frames, as a page on a screen with twice the pixels would.
// Reported per round, same source, same run:
//  - process CPU time per emitted frame, viewer / pipeline alone (target
//    <= 1.15); the client threads' own CPU is taken out, as a browser runs in
//    another process;
//  - the latency from the pipeline handing a packet out to the last byte of
//    one of its images written to the client, p50 / p95 (target p50 <= 30 ms).
//  - with the 3-D panel open too (its point stream at the width that page's
//    panel asks for), the process CPU time per frame against the same page
//    without it (target <= 1.15), and the latency from the pipeline handing
//    a packet out to the last byte of its points written, p50 / p95 (target
//    p50 <= 30 ms).
// The pipeline alone runs as the viewer asks for it: rectified colour eyes,
// made as wide as the page shows them (or whole, for the full-size pass); a
// further column gives the ratio against the grey-only pipeline for scale.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/viewer/viewer_server.hpp"

namespace {

namespace fs = std::filesystem;
using kelvo::bench::cpu_seconds;
using kelvo::bench::percentile;
constexpr int FRAMES = 150;  // 5 s at 30 fps
constexpr int ROUNDS = 7;    // short rounds, many: the median of the ratios is steadier
constexpr double RUN_LIMIT_S = 60;

struct Pass {
    double cpu_s = 0;  ///< process CPU, without the client threads'
    std::int64_t frames = 0;
    double per_frame_ms() const {
        return frames > 0 ? 1e3 * cpu_s / static_cast<double>(frames) : 0;
    }
};

/// The pipeline alone on a realtime replay, to its end.
Pass pipeline_alone(const fs::path& recording, bool rectified_images, int rectified_width = 0) {
    std::atomic<std::int64_t> emitted{0};
    auto replay = std::make_shared<kelvo::MkvReplay>(recording);
    kelvo::Pipeline pipeline({.source = replay,
                              .backend = "stereo-bm",
                              .queue_size = 0,
                              .on_packet = [&](const kelvo::FramePacketPtr&) { ++emitted; },
                              .stop_at_end = true,
                              .rectified_images = rectified_images,
                              .rectified_width = rectified_width});
    const double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    pipeline.start();
    if (!pipeline.wait_finished(RUN_LIMIT_S)) std::printf("  (pipeline did not finish)\n");
    pipeline.stop();
    return {cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0, emitted.load()};
}

/// One streaming request on loopback, read and thrown away until `stop`, as
/// a browser tab does; its thread's CPU is added to `client_cpu_s`.
class StreamClient {
  public:
    StreamClient(int port, std::string path, const std::atomic<bool>& stop,
                 std::atomic<double>& client_cpu_s)
        : _thread(
              [this, port, path, &stop, &client_cpu_s] { run(port, path, stop, client_cpu_s); }) {}
    ~StreamClient() { _thread.join(); }
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;
    std::int64_t bytes() const { return _bytes.load(); }

  private:
    void run(int port, const std::string& path, const std::atomic<bool>& stop,
             std::atomic<double>& client_cpu_s) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval tv{0, 200000};  // wakes to look at `stop`
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string request =
                "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            std::vector<char> buf(1 << 16);
            while (!stop.load()) {
                const auto n = recv(fd, buf.data(), buf.size(), 0);
                if (n == 0) break;
                if (n > 0) _bytes += n;
            }
        }
        close(fd);
        double seen = client_cpu_s.load();
        const double mine = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        while (!client_cpu_s.compare_exchange_weak(seen, seen + mine)) {
        }
    }

    std::atomic<std::int64_t> _bytes{0};
    std::thread _thread;
};

/// CPU seconds of the viewer's own threads so far: the HTTP server's (named
/// after the process, as they inherit the main thread's name) and the
/// session's housekeeping, not the main thread's or the pipeline's. Read
/// from the scheduler's per-thread run time (nanoseconds).
double viewer_threads_cpu_s() {
    double total = 0;
    const std::string main_tid = std::to_string(getpid());
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == main_tid) continue;
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm != "viewer_bench" && comm != "kelvo-viewer") continue;
        std::int64_t run_ns = 0;
        if (std::ifstream(task.path() / "schedstat") >> run_ns)
            total += static_cast<double>(run_ns) / 1e9;
    }
    return total;
}

struct ViewerPass : Pass {
    double own_cpu_s = 0;  ///< the viewer's own threads
    double client_cpu_s = 0;
    std::vector<double> latencies_ms;
    std::vector<double> point_latencies_ms;
    double mib_per_s = 0;
};

/// Panel widths of the page in a 1920-px-wide window: three panels side by
/// side beside the 19em control column; the map leaves room for its colour bar.
constexpr int PAGE_EYE_WIDTH = 528;
const std::vector<std::string> PAGE_STREAMS = {
    "/stream/left.mjpg?width=" + std::to_string(PAGE_EYE_WIDTH),
    "/stream/right.mjpg?width=" + std::to_string(PAGE_EYE_WIDTH),
    "/stream/disparity.mjpg?width=480", "/events"};
/// The same page with its 3-D panel: the width of the main column, half a point per pixel.
std::vector<std::string> with_points(std::vector<std::string> streams) {
    streams.push_back("/stream/points.bin?width=816");
    return streams;
}
const std::vector<std::string> FULL_STREAMS = {"/stream/left.mjpg", "/stream/right.mjpg",
                                               "/stream/disparity.mjpg", "/events"};

/// The viewer on a realtime replay with one page's streams open, to its end.
ViewerPass viewer_with_client(const fs::path& recording, const std::vector<std::string>& paths) {
    ViewerPass out;
    auto replay = std::make_shared<kelvo::MkvReplay>(recording);
    auto session =
        std::make_shared<kelvo::ViewerSession>(kelvo::ViewerSessionOptions{.source = replay});
    kelvo::ViewerServer server(session, {.port = 0});
    std::atomic<bool> stop{false};
    std::atomic<double> client_cpu{0};
    const double cpu0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto t0 = kelvo::bench::Clock::now();
    server.start();
    session->start();
    {
        std::vector<std::unique_ptr<StreamClient>> clients;
        for (const auto& path : paths) {
            clients.push_back(
                std::make_unique<StreamClient>(server.port(), path, stop, client_cpu));
        }
        while (!session->state().value("at_end", false) &&
               kelvo::bench::seconds_since(t0) < RUN_LIMIT_S) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // The last packet still leaves the pipeline and reaches the client.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        out.frames = session->state()["frames_emitted"].get<std::int64_t>();
        stop.store(true);
        std::int64_t bytes = 0;
        for (const auto& c : clients) bytes += c->bytes();
        out.mib_per_s = static_cast<double>(bytes) / (1 << 20) / kelvo::bench::seconds_since(t0);
        clients.clear();  // joins
        out.own_cpu_s = viewer_threads_cpu_s();
    }
    server.stop();
    session->stop();
    out.client_cpu_s = client_cpu.load();
    out.cpu_s = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0 - out.client_cpu_s;
    out.latencies_ms = server.latencies_ms();
    out.point_latencies_ms = server.point_latencies_ms();
    return out;
}

}  // namespace

int main() {
    const fs::path dir =
        fs::temp_directory_path() / ("kelvo_viewer_bench_" + std::to_string(getpid()));
    const std::string demo = std::string(KELVO_CLI) + " demo --quiet --frames " +
                             std::to_string(FRAMES) + " --out '" + dir.string() + "' > /dev/null";
    const fs::path recording = dir / "demo.mkv";
    if (std::system(demo.c_str()) != 0 || !fs::exists(recording)) {
        std::fprintf(stderr, "viewer_bench: kelvo demo failed\n");
        return 1;
    }
    std::printf(
        "viewer_bench: %d-frame 30 fps demo recording (1280x360 MJPEG), stereo-bm, "
        "one client: left, right, disparity streams + figures (+ the 3-D panel's points)\n",
        FRAMES);
    std::printf("%-5s %9s %9s %9s %7s %7s %9s %8s | %8s %8s %7s %7s %7s | %7s %7s %7s %7s\n",
                "round", "grey ms/f", "pipe ms/f", "view ms/f", "ratio", "own", "vs grey",
                "full-size", "lat p50", "lat p95", "images", "client", "MiB/s", "3-D", "pts p50",
                "pts p95", "MiB/s");
    std::vector<double> ratios, owns, full_ratios, p50s, p95s, cloud_ratios, point_p50s, point_p95s;
    for (int round = 0; round < ROUNDS; ++round) {
        const Pass grey = pipeline_alone(recording, false);
        const Pass pipe = pipeline_alone(recording, true, PAGE_EYE_WIDTH);
        const ViewerPass view = viewer_with_client(recording, PAGE_STREAMS);
        const Pass pipe_whole = pipeline_alone(recording, true);
        const ViewerPass full = viewer_with_client(recording, FULL_STREAMS);
        const ViewerPass cloud = viewer_with_client(recording, with_points(PAGE_STREAMS));
        cloud_ratios.push_back(cloud.per_frame_ms() / view.per_frame_ms());
        const auto& pl = cloud.point_latencies_ms;
        point_p50s.push_back(pl.empty() ? 0 : percentile(pl, 0.5));
        point_p95s.push_back(pl.empty() ? 0 : percentile(pl, 0.95));
        const double ratio = view.per_frame_ms() / pipe.per_frame_ms();
        full_ratios.push_back(full.per_frame_ms() / pipe_whole.per_frame_ms());
        const double p50 = view.latencies_ms.empty() ? 0 : percentile(view.latencies_ms, 0.5);
        const double p95 = view.latencies_ms.empty() ? 0 : percentile(view.latencies_ms, 0.95);
        ratios.push_back(ratio);
        // The viewer's own threads alone: the ratio without what the pipeline
        // itself costs more beside them, and without the passes' drift.
        owns.push_back(1 + 1e3 * view.own_cpu_s /
                               static_cast<double>(std::max<std::int64_t>(view.frames, 1)) /
                               pipe.per_frame_ms());
        p50s.push_back(p50);
        p95s.push_back(p95);
        std::printf(
            "%-5d %9.2f %9.2f %9.2f %7.3f %7.3f %9.3f %8.3f | %8.1f %8.1f %7zu %6.2fs %7.2f | "
            "%7.3f %7.1f %7.1f %7.2f\n",
            round, grey.per_frame_ms(), pipe.per_frame_ms(), view.per_frame_ms(), ratio,
            owns.back(), view.per_frame_ms() / grey.per_frame_ms(), full_ratios.back(), p50, p95,
            view.latencies_ms.size(), view.client_cpu_s, view.mib_per_s, cloud_ratios.back(),
            point_p50s.back(), point_p95s.back(), cloud.mib_per_s);
    }
    const double ratio = kelvo::bench::median(ratios), p50 = kelvo::bench::median(p50s);
    std::printf(
        "median: CPU ratio %.3f (target <= 1.15: %s; the viewer's own threads %.3f; full-size "
        "images %.3f), latency p50 %.1f ms (target <= 30: %s), p95 %.1f ms\n",
        ratio, ratio <= 1.15 ? "met" : "not met", kelvo::bench::median(owns),
        kelvo::bench::median(full_ratios), p50, p50 <= 30 ? "met" : "not met",
        kelvo::bench::median(p95s));
    const double cloud_ratio = kelvo::bench::median(cloud_ratios);
    const double point_p50 = kelvo::bench::median(point_p50s);
    std::printf(
        "median, 3-D panel open: CPU ratio against the page without it %.3f (target <= 1.15: "
        "%s), points latency p50 %.1f ms (target <= 30: %s), p95 %.1f ms\n",
        cloud_ratio, cloud_ratio <= 1.15 ? "met" : "not met", point_p50,
        point_p50 <= 30 ? "met" : "not met", kelvo::bench::median(point_p95s));
    fs::remove_all(dir);
    return 0;
}
