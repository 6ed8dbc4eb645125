// The recorder's sustained rate on 2560x720 MJPEG frames, against a bare
// libavformat stream copy of the same packets in the same run.
//
//   recorder_bench [frames=300] [dir=/tmp]
//
// Reports: frames dropped at 30 fps fed from a pump thread (target 0 on an idle
// disk), CPU time per frame as a ratio to the bare stream copy, and the
// unpaced throughput ratio.
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "bench_util.hpp"
#include "core/ffmpeg_raii.hpp"
#include "kelvo/pipeline/recorder.hpp"

namespace {

using kelvo::bench::cpu_seconds;
using kelvo::detail::check_av;

constexpr int WIDTH = 2560;
constexpr int HEIGHT = 720;
constexpr int DISTINCT = 30;
constexpr std::int64_t FRAME_US = 33'333;

double wall_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/// Camera-like JPEGs: a textured scene that moves a little from frame to frame.
std::vector<std::vector<std::uint8_t>> make_payloads() {
    std::vector<std::vector<std::uint8_t>> out;
    cv::Mat noise(HEIGHT, WIDTH, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(noise, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(12));
    for (int i = 0; i < DISTINCT; ++i) {
        cv::Mat image(HEIGHT, WIDTH, CV_8UC3);
        for (int y = 0; y < HEIGHT; ++y)
            for (int x = 0; x < WIDTH; ++x)
                image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<std::uint8_t>((x + i * 4) / 10),
                                                      static_cast<std::uint8_t>(y / 3),
                                                      static_cast<std::uint8_t>((x ^ y) & 0xFF));
        image += noise;
        std::vector<std::uint8_t> jpeg;
        cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 90});
        out.push_back(std::move(jpeg));
    }
    return out;
}

/// A bare stream copy: the same packets, straight into libavformat's muxer.
void bare_copy(const std::string& path, const std::vector<std::vector<std::uint8_t>>& payloads,
               int frames, bool crc) {
    AVFormatContext* raw = nullptr;
    check_av(avformat_alloc_output_context2(&raw, nullptr, "matroska", path.c_str()), "alloc");
    kelvo::detail::OutputContextPtr ctx(raw);
    AVStream* st = avformat_new_stream(ctx.get(), nullptr);
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    st->codecpar->width = WIDTH;
    st->codecpar->height = HEIGHT;
    st->time_base = AVRational{1, 1000};
    check_av(avio_open(&ctx->pb, path.c_str(), AVIO_FLAG_WRITE), "avio_open");
    AVDictionary* opts = nullptr;
    if (!crc) av_dict_set(&opts, "write_crc32", "0", 0);
    const int ret = avformat_write_header(ctx.get(), &opts);
    av_dict_free(&opts);
    check_av(ret, "header");
    auto pkt = kelvo::detail::make_packet();
    for (int i = 0; i < frames; ++i) {
        const auto& p = payloads[static_cast<std::size_t>(i % DISTINCT)];
        pkt->data = const_cast<std::uint8_t*>(p.data());
        pkt->size = static_cast<int>(p.size());
        pkt->stream_index = 0;
        pkt->pts = pkt->dts = i * FRAME_US / 1000;
        pkt->flags = AV_PKT_FLAG_KEY;
        check_av(av_write_frame(ctx.get(), pkt.get()), "write");
    }
    pkt->data = nullptr;
    pkt->size = 0;
    check_av(av_write_trailer(ctx.get()), "trailer");
}

std::vector<kelvo::FramePtr> make_frames(const std::vector<std::vector<std::uint8_t>>& payloads,
                                         int frames) {
    std::vector<kelvo::FramePtr> out;
    for (int i = 0; i < frames; ++i) {
        auto f = std::make_shared<kelvo::RawFrame>();
        f->payload = payloads[static_cast<std::size_t>(i % DISTINCT)];
        f->pts_us = i * FRAME_US;
        f->sequence = i + 1;
        out.push_back(std::move(f));
    }
    return out;
}

kelvo::MkvRecorderOptions options(const std::string& path, std::size_t queue) {
    kelvo::MkvRecorderOptions o;
    o.path = path;
    o.width = WIDTH;
    o.height = HEIGHT;
    o.camera_info_payload = kelvo::Json{{"sku", "bench"}};
    o.camera_controls = kelvo::Json{{"exposure", 1}};
    o.capture_mode_slug = "2560x720@30-MJPG";
    o.t0_monotonic_ns_provider = [] { return std::optional<std::int64_t>(0); };
    o.queue_size = queue;
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(30, std::atoi(argv[1])) : 300;
    const std::filesystem::path dir = argc > 2 ? argv[2] : std::filesystem::temp_directory_path();
    const std::string tag = std::to_string(::getpid());
    const auto bare_path = (dir / ("recorder_bench_bare_" + tag + ".mkv")).string();
    const auto rec_path = (dir / ("recorder_bench_rec_" + tag + ".mkv")).string();

    std::printf("preparing %d distinct %dx%d JPEG frames...\n", DISTINCT, WIDTH, HEIGHT);
    const auto payloads = make_payloads();
    std::size_t total = 0;
    for (const auto& p : payloads) total += p.size();
    std::printf("mean frame size %.0f KiB\n", static_cast<double>(total) / DISTINCT / 1024.0);

    // 1. Bare stream copy with the muxer's defaults, and without its CRC-32
    //    elements as the recorder writes them (best of three each).
    double bare_cpu = 1e9, bare_wall = 1e9, nocrc_cpu = 1e9;
    for (int r = 0; r < 3; ++r) {
        double c0 = cpu_seconds(), w0 = wall_seconds();
        bare_copy(bare_path, payloads, frames, true);
        bare_cpu = std::min(bare_cpu, cpu_seconds() - c0);
        bare_wall = std::min(bare_wall, wall_seconds() - w0);
        c0 = cpu_seconds();
        bare_copy(bare_path, payloads, frames, false);
        nocrc_cpu = std::min(nocrc_cpu, cpu_seconds() - c0);
    }

    // 2. The recorder, unpaced: everything fed at once into a queue that holds it.
    double rec_cpu = 1e9, rec_wall = 1e9;
    for (int r = 0; r < 3; ++r) {
        auto input = make_frames(payloads, frames);
        kelvo::MkvRecorder rec(options(rec_path, static_cast<std::size_t>(frames)));
        const double c0 = cpu_seconds(), w0 = wall_seconds();
        rec.start();
        for (const auto& f : input) rec.feed(f);
        const auto result = rec.stop();
        rec_cpu = std::min(rec_cpu, cpu_seconds() - c0);
        rec_wall = std::min(rec_wall, wall_seconds() - w0);
        if (result.frames_written != frames) std::printf("unpaced run lost frames!\n");
    }

    // 3. The recorder at 30 fps from a pump thread, default queue.
    auto input = make_frames(payloads, frames);
    kelvo::MkvRecorder rec(options(rec_path, 64));
    const double c0 = cpu_seconds();
    rec.start();
    std::thread pump([&] {
        auto next = std::chrono::steady_clock::now();
        for (const auto& f : input) {
            rec.feed(f);
            next += std::chrono::microseconds(FRAME_US);
            std::this_thread::sleep_until(next);
        }
    });
    pump.join();
    const auto paced = rec.stop();
    const double paced_cpu = cpu_seconds() - c0;

    const double bare_cpu_pf = bare_cpu / frames * 1e3;
    const double rec_cpu_pf = rec_cpu / frames * 1e3;
    const double paced_cpu_pf = paced_cpu / frames * 1e3;
    std::printf("frames: %d, file size %.1f MiB\n", frames,
                static_cast<double>(std::filesystem::file_size(rec_path)) / (1024.0 * 1024.0));
    std::printf("bare stream copy:   %.3f ms CPU/frame, %.0f frames/s\n", bare_cpu_pf,
                frames / bare_wall);
    const double nocrc_cpu_pf = nocrc_cpu / frames * 1e3;
    std::printf("bare copy, no CRC:  %.3f ms CPU/frame\n", nocrc_cpu_pf);
    std::printf("recorder, unpaced:  %.3f ms CPU/frame, %.0f frames/s\n", rec_cpu_pf,
                frames / rec_wall);
    std::printf("recorder, 30 fps:   %.3f ms CPU/frame, %lld written, %lld dropped\n", paced_cpu_pf,
                static_cast<long long>(paced.frames_written),
                static_cast<long long>(paced.frames_dropped));
    std::printf("RATIO cpu_per_frame recorder_30fps/bare = %.2f\n", paced_cpu_pf / bare_cpu_pf);
    std::printf("RATIO cpu_per_frame recorder_30fps/bare_no_crc = %.2f\n",
                paced_cpu_pf / nocrc_cpu_pf);
    std::printf("RATIO cpu_per_frame recorder_unpaced/bare = %.2f\n", rec_cpu_pf / bare_cpu_pf);
    std::printf("RATIO throughput recorder_unpaced/bare = %.2f\n", bare_wall / rec_wall);
    std::printf("frames_dropped_at_30fps = %lld (target 0)\n",
                static_cast<long long>(paced.frames_dropped));
    std::filesystem::remove(bare_path);
    std::filesystem::remove(rec_path);
    return paced.frames_dropped == 0 ? 0 : 1;
}
