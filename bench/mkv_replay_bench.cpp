// Replay throughput and pacing, each measured against the raw libavformat
// work in the same run:
//   - "every_frame" grab loop packets/s vs a bare av_read_frame loop (target >= 0.95);
//   - open() time vs one bare demux pass over the file (target <= 1.1);
//   - realtime pacing arrival error (median, p99) for 30 and 60 fps files;
//   - resident memory while replaying.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bench_util.hpp"
#include "kelvo/log.hpp"
#include "kelvo/sources/mkv_replay.hpp"

namespace {

using kelvo::bench::Clock;
namespace fs = std::filesystem;

using kelvo::bench::bare_pass;
using kelvo::bench::BarePass;
using kelvo::bench::percentile;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
}

long rss_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void pacing(const fs::path& dir, const std::string& fps, int frames) {
    const fs::path path = dir / ("pace" + fps + ".mkv");
    if (!fs::exists(path)) {
        run(
            fmt::format("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=64x32:rate={} "
                        "-frames:v {} -c:v mjpeg {}",
                        fps, frames, path.string()));
    }
    kelvo::MkvReplay replay(path, {.replay_mode = "realtime"});
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, std::int64_t>> arrivals;
    arrivals.reserve(static_cast<std::size_t>(frames));
    replay.add_fanout(kelvo::make_frame_callback([&](const kelvo::FramePtr& f) {
        std::lock_guard lock(mutex);
        arrivals.emplace_back(Clock::now(), f->pts_us);
    }));
    replay.open();
    while (!replay.is_paused()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    replay.close();
    std::vector<double> errors_ms;
    for (const auto& [t, pts] : arrivals) {
        const double wall = seconds(t - arrivals.front().first);
        const double recorded = static_cast<double>(pts - arrivals.front().second) / 1e6;
        errors_ms.push_back((wall - recorded) * 1000.0);
    }
    std::vector<double> abs_errors;
    for (double e : errors_ms) abs_errors.push_back(std::fabs(e));
    fmt::print(
        "pacing {:>2} fps, {} frames: arrival error median {:.3f} ms, p99 {:.3f} ms, "
        "max {:.3f} ms, last frame {:+.3f} ms\n",
        fps, arrivals.size(), percentile(abs_errors, 0.5), percentile(abs_errors, 0.99),
        percentile(abs_errors, 1.0), errors_ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    kelvo::get_logger("kelvo_camera_sdk.mkv_replay")->set_level(spdlog::level::warn);
    const int frames = argc > 1 ? std::atoi(argv[1]) : 2000;
    const fs::path dir = fs::temp_directory_path() / "kelvo_mkv_replay_bench";
    fs::create_directories(dir);
    const fs::path video = dir / fmt::format("video{}.mkv", frames);
    const fs::path path = dir / fmt::format("rec{}.mkv", frames);
    if (!fs::exists(path)) {
        fmt::print("making a {}-frame 2560x720 MJPEG recording in {}\n", frames, dir.string());
        run(
            fmt::format("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=2560x720:rate=30 "
                        "-frames:v {} -c:v mjpeg -q:v 4 {}",
                        frames, video.string()));
        std::ofstream srt(dir / "state.srt");
        for (int i = 0; i < frames / 30; ++i) {
            srt << i + 1 << "\n"
                << fmt::format("00:{:02}:{:02},000 --> 00:{:02}:{:02},001\n", i / 60, i % 60,
                               i / 60, i % 60)
                << "{\"exposure\": " << 100 + i << "}\n\n";
        }
        srt.close();
        run(fmt::format("mkvmerge -q -o {} {} --track-name 0:camera_state {}", path.string(),
                        video.string(), (dir / "state.srt").string()));
    }
    fmt::print("file: {} ({:.1f} MiB)\n", path.string(),
               static_cast<double>(fs::file_size(path)) / (1024.0 * 1024.0));
    bare_pass(path);  // warm the page cache

    constexpr int rounds = 5;
    std::vector<double> bare_pass_s, bare_pps, copy_pps, replay_pps, open_s, construct_open_s;
    long rss_open = 0, rss_peak = 0;
    for (int r = 0; r < rounds; ++r) {
        const BarePass bare = bare_pass(path);
        bare_pass_s.push_back(bare.open_s + bare.read_s);
        bare_pps.push_back(static_cast<double>(bare.packets) / bare.read_s);
        const BarePass copied = bare_pass(path, nullptr, true);
        copy_pps.push_back(static_cast<double>(copied.packets) / copied.read_s);

        const auto c0 = Clock::now();
        kelvo::MkvReplay replay(path, {.replay_mode = "every_frame"});
        const auto c1 = Clock::now();
        replay.open();
        const auto c2 = Clock::now();
        open_s.push_back(seconds(c2 - c1));
        construct_open_s.push_back(seconds(c2 - c0));
        rss_open = rss_kib();
        long delivered = 0;
        const auto g0 = Clock::now();
        while (auto f = replay.grab()) {
            ++delivered;
            if ((delivered & 255) == 0) rss_peak = std::max(rss_peak, rss_kib());
        }
        const auto g1 = Clock::now();
        replay_pps.push_back(static_cast<double>(delivered) / seconds(g1 - g0));
        if (delivered != bare.packets) {
            fmt::print("MISMATCH: replay delivered {} frames, the file holds {}\n", delivered,
                       bare.packets);
            return 1;
        }
    }
    const double bare_pps_med = percentile(bare_pps, 0.5);
    const double replay_pps_med = percentile(replay_pps, 0.5);
    const double bare_pass_med = percentile(bare_pass_s, 0.5);
    const double open_med = percentile(open_s, 0.5);
    const double construct_open_med = percentile(construct_open_s, 0.5);
    fmt::print("bare av_read_frame loop:   {:>9.0f} packets/s\n", bare_pps_med);
    const double copy_pps_med = percentile(copy_pps, 0.5);
    fmt::print(
        "bare loop + payload copy:  {:>9.0f} packets/s   ratio {:.3f} (floor for any owned "
        "payload)\n",
        copy_pps_med, copy_pps_med / bare_pps_med);
    fmt::print("every_frame grab loop:     {:>9.0f} packets/s   ratio {:.3f} (target >= 0.95)\n",
               replay_pps_med, replay_pps_med / bare_pps_med);
    fmt::print("one bare demux pass:       {:>9.2f} ms\n", bare_pass_med * 1000);
    fmt::print("open():                    {:>9.2f} ms        ratio {:.3f} (target <= 1.1)\n",
               open_med * 1000, open_med / bare_pass_med);
    fmt::print("construction + open():     {:>9.2f} ms        ratio {:.3f}\n",
               construct_open_med * 1000, construct_open_med / bare_pass_med);
    fmt::print("resident memory: {} KiB after open, at most {} KiB while replaying (+{} KiB)\n",
               rss_open, rss_peak, rss_peak - rss_open);

    pacing(dir, "30", 300);
    pacing(dir, "60", 600);
    return 0;
}
