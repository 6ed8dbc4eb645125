// The post-processing chain inside the pipeline, on real recordings: the
// temporal filter smooths a static scene and forgets its history at every
// seek, step back and loop of a replay.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/pipeline/synthetic_scene.hpp"
#include "kelvo/sources/forwarding_source.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"
#include "pipeline_fixtures.hpp"

namespace post_chain_pipeline_test {

using kelvo::CameraInfo;
using kelvo::FramePacketPtr;
using kelvo::FramePtr;
using kelvo::MkvRecorder;
using kelvo::MkvReplay;
using kelvo::MkvReplayOptions;
using kelvo::Pipeline;
using kelvo::RawFrame;
namespace detail = kelvo::detail;

/// Serves a replay's frames in the order of `order` (frame indices): a
/// frame that does not follow the last one is reached by a seek; past the
/// last frame a looping replay starts over by itself.
class ScriptedReplay final : public kelvo::ForwardingSource {
  public:
    ScriptedReplay(std::shared_ptr<MkvReplay> replay, std::vector<std::int64_t> order)
        : ForwardingSource(replay), _replay(std::move(replay)), _order(std::move(order)) {}

    CameraInfo open() override {
        CameraInfo info = _replay->open();
        _frames = static_cast<std::int64_t>(_replay->frame_index().size());
        return info;
    }
    FramePtr grab(double timeout) override {
        if (_next >= _order.size()) return nullptr;
        const std::int64_t target = _order[_next++];
        const std::int64_t follows = _last < 0 ? 0 : (_last + 1) % _frames;
        if (target != follows) _replay->seek_to_frame(target);
        FramePtr frame = _replay->grab(timeout);
        if (frame) _last = frame->source_frame_idx.value_or(-1);
        return frame;
    }
    bool at_end() const override { return _next >= _order.size(); }

  private:
    std::shared_ptr<MkvReplay> _replay;
    std::vector<std::int64_t> _order;
    std::size_t _next = 0;
    std::int64_t _last = -1;
    std::int64_t _frames = 1;
};

std::vector<FramePacketPtr> run(const std::filesystem::path& recording,
                                std::vector<std::int64_t> order,
                                std::vector<std::pair<std::string, int>> controls) {
    // The matcher's fastest mode: what is tested is the chain after it.
    controls.insert(controls.begin(), {"mode", cv::StereoSGBM::MODE_SGBM_3WAY});
    auto replay = std::make_shared<MkvReplay>(
        recording, MkvReplayOptions{.replay_mode = "every_frame", .loop = true});
    Pipeline pipeline({.source = std::make_shared<ScriptedReplay>(replay, std::move(order)),
                       .backend = "stereo-sgbm",
                       .variant = "256x512",
                       .controls = std::move(controls),
                       .queue_size = 64,
                       .block_when_full = true,
                       .stop_at_end = true,
                       .rectified_images = false});
    pipeline.start();
    EXPECT_TRUE(pipeline.wait_finished(60.0));
    std::vector<FramePacketPtr> packets;
    while (auto p = pipeline.get_packet(0.0)) packets.push_back(p);
    return packets;
}

TEST(PostChainPipeline, AfterASeekAStepBackOrALoopTheMapIsAFreshRunsFirst) {
    const kelvo::testing::TempDir dir("post_chain_jumps");
    kelvo::testing::RecordingSpec spec;
    spec.frames = 8;
    spec.width = 640;
    spec.height = 240;
    const auto recording = kelvo::testing::make_recording(dir.path(), "jumps.mkv", spec);
    const std::vector<std::pair<std::string, int>> temporal = {{"post_temporal", 1},
                                                               {"post_temporal_delta_pct", 100}};
    const std::vector<std::int64_t> order = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 5, 6, 2, 3, 2, 3};
    const struct {
        std::size_t at;
        const char* what;
    } jumps[] = {{0, "the first frame"},
                 {8, "the loop back to the start"},
                 {10, "a seek forward"},
                 {12, "a seek back"},
                 {14, "a step back"}};
    const auto packets = run(recording, order, temporal);
    ASSERT_EQ(packets.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        ASSERT_EQ(packets[i]->source_frame_idx, order[i]) << i;
    }
    for (const auto& jump : jumps) {
        SCOPED_TRACE(jump.what);
        const auto fresh = run(recording, {order[jump.at]}, temporal);
        ASSERT_EQ(fresh.size(), 1u);
        EXPECT_EQ(kelvo::testing::differing(packets[jump.at]->disparity, fresh[0]->disparity), 0);
    }
    // Between the jumps the history is used: the map is not the fresh one.
    const auto fresh = run(recording, {order[11]}, temporal);
    EXPECT_GT(kelvo::testing::differing(packets[11]->disparity, fresh[0]->disparity), 100);
}

/// Mean absolute change of the maps from frame to frame over the pixels seen
/// by both cameras.
double frame_to_frame_change(const std::vector<FramePacketPtr>& packets, const cv::Mat& visible) {
    double sum = 0;
    long count = 0;
    for (std::size_t i = 1; i < packets.size(); ++i) {
        const cv::Mat& a = packets[i - 1]->disparity;
        const cv::Mat& b = packets[i]->disparity;
        for (int y = 0; y < a.rows; ++y) {
            for (int x = 0; x < a.cols; ++x) {
                const float d = b.at<float>(y, x) - a.at<float>(y, x);
                if (!visible.at<std::uint8_t>(y, x) || std::isnan(d)) continue;
                sum += std::abs(d);
                ++count;
            }
        }
    }
    return count > 0 ? sum / static_cast<double>(count) : 0.0;
}

TEST(PostChainPipeline, TheTemporalFilterHalvesTheNoiseOfAStaticScene) {
    const kelvo::testing::TempDir dir("post_chain_static");
    const auto scene = detail::default_synthetic_scene({180, 320});
    const auto truth = detail::render_synthetic_frame(scene, 0);
    const auto path = dir.path() / "static.mkv";
    MkvRecorder recorder(
        {.path = path.string(),
         .width = truth.side_by_side.cols,
         .height = truth.side_by_side.rows,
         .camera_info_payload = {{"os_id", "static"},
                                 {"sku", ""},
                                 {"base_calibration", detail::synthetic_calibration_dict(scene)}},
         .camera_name = "static scene",
         .camera_serial = "STATIC",
         .capture_mode_slug = "640x180@30-MJPG"});
    recorder.start();
    std::mt19937 rng(7);
    constexpr int FRAMES = 16;
    for (int i = 0; i < FRAMES; ++i) {
        // Sensor noise on an unmoving scene.
        cv::Mat noise(truth.side_by_side.size(), CV_16SC3);
        cv::randn(noise, 0, 6);
        cv::Mat noisy;
        truth.side_by_side.convertTo(noisy, CV_16SC3);
        cv::Mat(noisy + noise).convertTo(noisy, CV_8UC3);
        auto frame = std::make_shared<RawFrame>();
        frame->payload = kelvo::testing::encode_jpeg(noisy, 90);
        frame->pts_us = i * 33333;
        frame->sequence = i + 1;
        recorder.feed(frame);
    }
    ASSERT_EQ(recorder.stop().frames_written, FRAMES);
    std::vector<std::int64_t> order(FRAMES);
    for (int i = 0; i < FRAMES; ++i) order[i] = i;
    const double off = frame_to_frame_change(run(path, order, {}), truth.visible);
    const double on =
        frame_to_frame_change(run(path, order, {{"post_temporal", 1}}), truth.visible);
    RecordProperty("change_off", std::to_string(off));
    RecordProperty("change_on", std::to_string(on));
    EXPECT_GT(off, 0.0);
    EXPECT_LT(on, 0.5 * off) << "without " << off << ", with " << on;
}

}  // namespace post_chain_pipeline_test
