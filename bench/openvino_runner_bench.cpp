// OpenVINORunner against the bare runtime on one network of LightStereo's
// signature (two (1, 3, 256, 512) inputs, three 3x3 convolutions):
//   1. submit-to-result latency / synchronous ov::InferRequest::infer (target <= 1.05)
//   2. throughput with nireq 2 / nireq 1
//   3. first-load time with an empty cache, a warm cache, and no cache
// Rounds of both sides are interleaved so machine noise hits both alike.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include <unistd.h>

#include <openvino/openvino.hpp>

#include "bench_util.hpp"
#include "kelvo/engines/openvino_runner.hpp"

namespace {

using kelvo::bench::Clock;
using kelvo::bench::median;
using kelvo::bench::ms_since;

const std::filesystem::path MODEL =
    std::filesystem::path(KELVO_TEST_MODELS_DIR) / "bench_stereo.onnx";

cv::Mat blob(float value) {
    return cv::Mat(std::vector<int>{1, 3, 256, 512}, CV_32F, cv::Scalar(value));
}

kelvo::OpenVINORunnerOptions options(int nireq) {
    kelvo::OpenVINORunnerOptions o;
    o.model_path = MODEL;
    o.nireq = nireq;
    o.do_models_cache = false;
    return o;
}

double throughput_fps(kelvo::InferenceEngine& engine, const cv::Mat& l, const cv::Mat& r,
                      int frames) {
    std::vector<kelvo::InferenceFuturePtr> futures;
    futures.reserve(frames);
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) futures.push_back(engine.submit({l, r}));
    for (auto& f : futures) f->get();
    return frames / (ms_since(start) / 1000.0);
}

}  // namespace

int main() {
    const cv::Mat left = blob(0.25f);
    const cv::Mat right = blob(-0.5f);

    // Bare runtime: the same compile options, synchronous infer on one request.
    ov::Core core;
    ov::CompiledModel compiled =
        core.compile_model(MODEL.string(), "CPU", ov::AnyMap{{"PERFORMANCE_HINT", "LATENCY"}});
    ov::InferRequest request = compiled.create_infer_request();
    request.set_input_tensor(0, ov::Tensor(ov::element::f32, {1, 3, 256, 512}, left.data));
    request.set_input_tensor(1, ov::Tensor(ov::element::f32, {1, 3, 256, 512}, right.data));

    auto runner = kelvo::create_openvino_runner(options(2));

    // Warm-up of both.
    for (int i = 0; i < 5; ++i) {
        request.infer();
        runner->submit({left, right})->get();
    }

    constexpr int ROUNDS = 15;
    constexpr int PER_ROUND = 10;
    std::vector<double> bare, ours;
    for (int round = 0; round < ROUNDS; ++round) {
        for (int i = 0; i < PER_ROUND; ++i) {
            const auto t = Clock::now();
            request.infer();
            bare.push_back(ms_since(t));
        }
        for (int i = 0; i < PER_ROUND; ++i) {
            const auto t = Clock::now();
            runner->submit({left, right})->get();
            ours.push_back(ms_since(t));
        }
    }
    const double bare_ms = median(bare);
    const double ours_ms = median(ours);
    std::printf(
        "latency: bare infer %.3f ms, runner submit->result %.3f ms, ratio %.3f "
        "(target <= 1.05)\n",
        bare_ms, ours_ms, ours_ms / bare_ms);

    auto one = kelvo::create_openvino_runner(options(1));
    constexpr int FRAMES = 60;
    std::vector<double> fps1, fps2;
    throughput_fps(*one, left, right, 10);
    throughput_fps(*runner, left, right, 10);
    for (int round = 0; round < 5; ++round) {
        fps1.push_back(throughput_fps(*one, left, right, FRAMES));
        fps2.push_back(throughput_fps(*runner, left, right, FRAMES));
    }
    std::printf(
        "throughput: nireq 1 %.1f fps, nireq 2 %.1f fps, ratio %.3f (%u hardware "
        "threads)\n",
        median(fps1), median(fps2), median(fps2) / median(fps1),
        std::thread::hardware_concurrency());
    one->shutdown();
    runner->shutdown();

    const auto cache_root =
        std::filesystem::temp_directory_path() / ("kelvo_ov_bench_" + std::to_string(::getpid()));
    std::vector<double> cold, warm, none;
    for (int round = 0; round < 3; ++round) {
        std::filesystem::remove_all(cache_root);
        auto o = options(2);
        o.do_models_cache = true;
        o.cache_dir = cache_root;
        auto t = Clock::now();
        kelvo::create_openvino_runner(o)->shutdown();
        cold.push_back(ms_since(t));
        t = Clock::now();
        kelvo::create_openvino_runner(o)->shutdown();
        warm.push_back(ms_since(t));
        t = Clock::now();
        kelvo::create_openvino_runner(options(2))->shutdown();
        none.push_back(ms_since(t));
    }
    std::filesystem::remove_all(cache_root);
    std::printf(
        "first load: no cache %.1f ms, empty cache (compile + store) %.1f ms, warm cache "
        "%.1f ms, warm/no-cache ratio %.3f\n",
        median(none), median(cold), median(warm), median(warm) / median(none));
    return 0;
}
