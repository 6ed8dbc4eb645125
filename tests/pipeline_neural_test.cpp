// The pipeline's neural path: preprocess on the worker, the engine's futures
// kept up to nireq in flight, postprocess in frame order, mono back-ends given
// the rectified intrinsics scaled into their canvas. The engine here is a
// small in-process one that computes a real per-pixel function of its blobs
// on its own completion thread, as the OpenVINO runner does asynchronously.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "pipeline_fixtures.hpp"

namespace {

using kelvo::FramePacketPtr;
using kelvo::HeightWidth;

/// Completes each request on its own thread, in order: the output is the
/// channel mean of blob 0 minus that of blob 1 (or blob 0 alone for one blob).
class DifferenceEngine final : public kelvo::InferenceEngine {
  public:
    DifferenceEngine(HeightWidth size, int inputs)
        : _size(size), _inputs(inputs), _thread([this] { run(); }) {}
    ~DifferenceEngine() override { shutdown(); }

    std::vector<kelvo::Shape4> input_shapes() const override {
        return std::vector<kelvo::Shape4>(_inputs, kelvo::Shape4{1, 3, _size.height, _size.width});
    }
    kelvo::InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) override {
        auto future = std::make_shared<kelvo::EventFuture>();
        std::lock_guard lock(_mutex);
        _queue.push_back({blobs, future});
        ++_outstanding;
        _max_outstanding = std::max(_max_outstanding, _outstanding);
        _cv.notify_all();
        return future;
    }
    void shutdown() override {
        {
            std::lock_guard lock(_mutex);
            _stop = true;
            _cv.notify_all();
        }
        if (_thread.joinable()) _thread.join();
    }
    int max_outstanding() const {
        std::lock_guard lock(_mutex);
        return _max_outstanding;
    }

  private:
    void run() {
        for (;;) {
            std::pair<std::vector<cv::Mat>, std::shared_ptr<kelvo::EventFuture>> job;
            {
                std::unique_lock lock(_mutex);
                _cv.wait(lock, [&] { return _stop || !_queue.empty(); });
                if (_queue.empty()) return;
                job = std::move(_queue.front());
                _queue.pop_front();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            cv::Mat out = channel_mean(job.first[0]);
            if (job.first.size() > 1) out -= channel_mean(job.first[1]);
            {
                std::lock_guard lock(_mutex);
                --_outstanding;
            }
            job.second->set_result(out);
        }
    }
    static cv::Mat channel_mean(const cv::Mat& bgr) {
        cv::Mat grey, out;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        grey.convertTo(out, CV_32F);
        return out;
    }

    HeightWidth _size;
    int _inputs;
    mutable std::mutex _mutex;
    std::condition_variable _cv;
    std::deque<std::pair<std::vector<cv::Mat>, std::shared_ptr<kelvo::EventFuture>>> _queue;
    int _outstanding = 0, _max_outstanding = 0;
    bool _stop = false;
    std::thread _thread;
};

std::shared_ptr<DifferenceEngine> g_engine;  // the engine of the last instance built

class TestStereoNet final : public kelvo::NeuralStereoInferenceBase {
  public:
    std::vector<cv::Mat> preprocess(const cv::Mat& l, const cv::Mat* r) override { return {l, *r}; }
    cv::Mat postprocess(const cv::Mat& raw, const kelvo::CanvasLayout& layout) override {
        return kelvo::crop_to_valid(raw, layout);
    }

  protected:
    std::string class_label() const override { return "TestStereoNet"; }
};

class TestMonoNet final : public kelvo::NeuralMonoInferenceBase {
  public:
    std::vector<cv::Mat> preprocess(const cv::Mat& l, const cv::Mat* r) override {
        mono_right_was_null = (r == nullptr);
        return {l};
    }
    cv::Mat postprocess(const cv::Mat& raw, const kelvo::CanvasLayout& layout) override {
        return _apply_depth_affine(kelvo::crop_to_valid(raw, layout) / 100.0);
    }
    void set_intrinsics(double fx, double fy, double cx, double cy) override {
        intrinsics = {fx, fy, cx, cy};
        ++intrinsics_calls;
    }
    std::atomic<bool> mono_right_was_null{false};
    cv::Vec4d intrinsics;
    int intrinsics_calls = 0;

  protected:
    std::string class_label() const override { return "TestMonoNet"; }
};

template <typename Net>
void register_test_class(const char* key, int inputs,
                         std::optional<kelvo::InferenceKind> kind = std::nullopt) {
    kelvo::InferenceClass cls;
    cls.key = key;
    cls.kind = kind;
    cls.label = key;
    cls.neural = true;
    cls.variants = [] {
        kelvo::InferenceVariant v;
        v.slug = "240x320";
        v.label = "240×320";
        v.configurations["input_size"] = kelvo::Json::array({240, 320});
        return std::vector<kelvo::InferenceVariant>{v};
    };
    cls.create = [inputs](const kelvo::InferenceVariant& v,
                          const kelvo::InferenceCreateOptions& options) {
        auto net = std::make_unique<Net>();
        g_engine = std::make_shared<DifferenceEngine>(HeightWidth{240, 320}, inputs);
        net->initialize(v, options, g_engine);
        return std::unique_ptr<kelvo::DepthInferenceBase>(std::move(net));
    };
    kelvo::register_inference(std::move(cls));
}

class PipelineNeural : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        register_test_class<TestStereoNet>("test-stereo-net", 2);
        register_test_class<TestMonoNet>("test-mono-net", 1);
        register_test_class<TestMonoNet>("test-mono-net-said-mono", 1, kelvo::InferenceKind::mono);
        register_test_class<TestMonoNet>("test-mono-net-said-stereo", 1,
                                         kelvo::InferenceKind::stereo);
        register_test_class<TestStereoNet>("test-stereo-net-said-mono", 2,
                                           kelvo::InferenceKind::mono);
    }
};

// The kind consumers go by: the class's when it says, else the instance's;
// a class whose instances work otherwise is refused before anything runs.
TEST_F(PipelineNeural, BackendKindIsTheClassesAndMustMatchItsInstances) {
    const struct {
        const char* key;
        std::optional<kelvo::InferenceKind> kind;  ///< absent: refused
    } cases[] = {
        {"test-stereo-net", kelvo::InferenceKind::stereo},
        {"test-mono-net", kelvo::InferenceKind::mono},
        {"test-mono-net-said-mono", kelvo::InferenceKind::mono},
        {"test-mono-net-said-stereo", std::nullopt},
        {"test-stereo-net-said-mono", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        auto source = std::make_shared<kelvo::testing::MemorySource>(
            std::vector<std::vector<std::uint8_t>>{}, 1280, 360, nullptr);
        if (c.kind) {
            kelvo::Pipeline pipeline({.source = source, .backend = c.key});
            EXPECT_EQ(pipeline.backend_kind(), *c.kind);
        } else {
            EXPECT_THROW(kelvo::Pipeline({.source = source, .backend = c.key}),
                         kelvo::RuntimeError);
        }
    }
}

std::vector<FramePacketPtr> drain(kelvo::Pipeline& pipeline) {
    std::vector<FramePacketPtr> packets;
    pipeline.start();
    while (auto p = pipeline.get_packet(30.0)) packets.push_back(p);
    EXPECT_TRUE(pipeline.is_finished());
    return packets;
}

TEST_F(PipelineNeural, StereoResultsComeBackInOrderWithinTheRequestLimit) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<cv::Mat> decoded;
    for (int i = 0; i < 8; ++i) {
        payloads.push_back(kelvo::testing::encode_jpeg(
            kelvo::detail::render_synthetic_frame(scene, i).side_by_side));
        decoded.push_back(cv::imdecode(payloads.back(), cv::IMREAD_COLOR));
    }
    auto source = std::make_shared<kelvo::testing::MemorySource>(payloads, 1280, 360);
    kelvo::Pipeline pipeline({.source = source,
                              .backend = "test-stereo-net",
                              .engine = {.nireq = 3},
                              .block_when_full = true,
                              .stop_at_end = true});
    const auto packets = drain(pipeline);
    ASSERT_EQ(packets.size(), 8u);
    EXPECT_LE(g_engine->max_outstanding(), 3);
    const auto layout = kelvo::fit_layout({360, 640}, {240, 320});
    for (std::size_t i = 0; i < packets.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(packets[i]->sequence, static_cast<std::int64_t>(i) + 1);
        // The engine's canvas map, cropped, brought back to the eye size with
        // values scaled by the width ratio.
        const cv::Mat& sbs = decoded[i];
        cv::Mat gl, gr, fl, fr;
        cv::cvtColor(kelvo::fit_into_canvas(sbs(cv::Rect(0, 0, 640, 360)), layout), gl,
                     cv::COLOR_BGR2GRAY);
        cv::cvtColor(kelvo::fit_into_canvas(sbs(cv::Rect(640, 0, 640, 360)), layout), gr,
                     cv::COLOR_BGR2GRAY);
        gl.convertTo(fl, CV_32F);
        gr.convertTo(fr, CV_32F);
        const cv::Mat expected =
            kelvo::map_to_source(kelvo::crop_to_valid(fl - fr, layout), layout, true);
        ASSERT_EQ(packets[i]->disparity.size(), cv::Size(640, 360));
        EXPECT_EQ(cv::norm(packets[i]->disparity, expected, cv::NORM_INF), 0.0);
        EXPECT_TRUE(packets[i]->depth.empty());  // no calibration, no depth
    }
}

TEST_F(PipelineNeural, MonoGetsCanvasIntrinsicsAndGivesDepth) {
    const auto scene = kelvo::detail::default_synthetic_scene();
    const auto calibration =
        kelvo::Calibration::from_dict(kelvo::detail::synthetic_calibration_dict(scene));
    std::vector<std::vector<std::uint8_t>> payloads = {
        kelvo::testing::encode_jpeg(kelvo::detail::render_synthetic_frame(scene, 0).side_by_side)};
    auto source = std::make_shared<kelvo::testing::MemorySource>(payloads, 1280, 360, calibration);
    kelvo::Pipeline pipeline({.source = source,
                              .backend = "test-mono-net",
                              .controls = {{"depth_scale_milli", 2000}},
                              .block_when_full = true,
                              .stop_at_end = true});
    const auto packets = drain(pipeline);
    ASSERT_EQ(packets.size(), 1u);
    const auto& net = dynamic_cast<const TestMonoNet&>(pipeline.backend());
    EXPECT_TRUE(net.mono_right_was_null);
    ASSERT_EQ(net.intrinsics_calls, 1);
    const auto rect = calibration->rectification(scene.eye_size);
    const auto layout = kelvo::fit_layout(scene.eye_size, {240, 320});
    EXPECT_NEAR(net.intrinsics[0], rect->fx * layout.scale, 1e-9);
    EXPECT_NEAR(net.intrinsics[1], rect->fy * layout.scale, 1e-9);
    EXPECT_NEAR(net.intrinsics[2], rect->cx * layout.scale + layout.pad_x, 1e-9);
    EXPECT_NEAR(net.intrinsics[3], rect->cy * layout.scale + layout.pad_y, 1e-9);
    const auto& p = *packets[0];
    EXPECT_TRUE(p.disparity.empty());
    ASSERT_EQ(p.depth.size(), cv::Size(640, 360));
    // Depth values are not rescaled with the width; the user's scale (x2) applies.
    double lo = 0, hi = 0;
    cv::minMaxLoc(p.depth, &lo, &hi);
    EXPECT_GT(lo, 0.0);
    EXPECT_LE(hi, 2 * 255 / 100.0 + 1e-4);
    EXPECT_GT(hi, 1.0);
}

}  // namespace
