// Exact single-frame stepping on a recording of more than 100,000 frames,
// where libavformat's default index budget would thin the cues.
#include <random>

#include <gtest/gtest.h>

#include "kelvo/sources/mkv_replay.hpp"
#include "mkv_replay_fixtures.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"

namespace kelvo {
namespace {

TEST(MkvReplayLong, StepsStayExactBeyondTheDefaultIndexBudget) {
    testing::TempDir dir("mkv_long");
    const auto path = dir / "long.mkv";
    testing::run_ok(
        "ffmpeg -nostdin -v error -y -f lavfi -i color=c=gray:size=16x16:rate=1000 "
        "-frames:v 100500 -c:v mjpeg -q:v 31 " +
        path.string());
    MkvReplay replay(path, {.replay_mode = "every_frame"});
    replay.open();
    const auto index = replay.frame_index();
    ASSERT_EQ(index.size(), 100500u);
    replay.pause();

    // Random jumps, then steps in both directions around each.
    std::mt19937 rng(7);
    std::vector<std::int64_t> targets{100499, 100000, 99999, 60001, 43690, 1};
    for (int i = 0; i < 20; ++i) targets.push_back(static_cast<std::int64_t>(rng() % 100500));
    for (const std::int64_t target : targets) {
        replay._seek_to_frame_idx(target);
        FramePtr f = replay.grab();
        ASSERT_TRUE(f) << target;
        ASSERT_EQ(f->source_frame_idx, target);
        ASSERT_EQ(f->pts_us, index[target]);
        for (int s = 0; s < 3; ++s) {
            replay.step_one_backward();
            f = replay.grab();
            if (target - s - 1 < 0) {
                ASSERT_FALSE(f);
                break;
            }
            ASSERT_TRUE(f);
            ASSERT_EQ(f->source_frame_idx, target - s - 1);
            ASSERT_EQ(f->pts_us, index[target - s - 1]);
        }
    }
    // The end of the file: a step forward from the second-to-last frame.
    replay._seek_to_frame_idx(100498);
    ASSERT_TRUE(replay.grab());
    replay.step_one_forward();
    FramePtr last = replay.grab();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->source_frame_idx, 100499);
}

// Shows why the replay raises the index budget: a container with the default
// budget, after one full pass, no longer seeks exactly near the end.
TEST(MkvReplayLong, DefaultIndexBudgetLosesExactness) {
    testing::TempDir dir("mkv_long_default");
    const auto path = dir / "long.mkv";
    testing::run_ok(
        "ffmpeg -nostdin -v error -y -f lavfi -i color=c=gray:size=16x16:rate=1000 "
        "-frames:v 100500 -c:v mjpeg -q:v 31 " +
        path.string());
    AVFormatContext* raw = nullptr;
    ASSERT_GE(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), 0);
    detail::InputContextPtr ctx(raw);
    const auto index = detail::read_frame_index(ctx.get(), 0);
    ASSERT_EQ(index.size(), 100500u);
    int inexact = 0;
    auto packet = detail::make_packet();
    for (std::int64_t target : {100499, 99001, 80017, 70003}) {
        ASSERT_GE(av_seek_frame(ctx.get(), 0, index[target] / 1000, AVSEEK_FLAG_BACKWARD), 0);
        ASSERT_GE(av_read_frame(ctx.get(), packet.get()), 0);
        if (detail::video_pts_us(packet->pts, ctx->streams[0]->time_base) != index[target])
            ++inexact;
        av_packet_unref(packet.get());
    }
    EXPECT_GT(inexact, 0);
}

}  // namespace
}  // namespace kelvo
