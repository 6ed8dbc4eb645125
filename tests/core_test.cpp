#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "kelvo/cache_dir.hpp"
#include "kelvo/controls.hpp"
#include "kelvo/engines/base.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/event.hpp"
#include "kelvo/log.hpp"
#include "kelvo/log_routing.hpp"
#include "kelvo/sources/base.hpp"
#include "support/log_capture.hpp"

namespace kelvo {
namespace {

TEST(DecodeToBgr, JpegPayload) {
    cv::Mat image(48, 64, CV_8UC3, cv::Scalar(200, 100, 50));
    std::vector<std::uint8_t> jpeg;
    cv::imencode(".jpg", image, jpeg, {cv::IMWRITE_JPEG_QUALITY, 98});
    const cv::Mat bgr = decode_to_bgr("MJPG", jpeg, 64, 48);
    ASSERT_EQ(bgr.size(), cv::Size(64, 48));
    ASSERT_EQ(bgr.type(), CV_8UC3);
    const cv::Vec3b px = bgr.at<cv::Vec3b>(20, 30);
    EXPECT_NEAR(px[0], 200, 3);
    EXPECT_NEAR(px[1], 100, 3);
    EXPECT_NEAR(px[2], 50, 3);
    // Unknown formats are at least tried as images.
    EXPECT_EQ(decode_to_bgr("H264", jpeg, 0, 0).size(), cv::Size(64, 48));
}

TEST(DecodeToBgr, YuyvPayload) {
    // Pairs of pixels sharing chroma: studio-range white then black.
    const int w = 4, h = 2;
    std::vector<std::uint8_t> yuyv;
    for (int i = 0; i < w * h / 2; ++i) {
        yuyv.insert(yuyv.end(), {235, 128, 16, 128});  // white, black
    }
    const cv::Mat bgr = decode_to_bgr("YUYV", yuyv, w, h);
    ASSERT_EQ(bgr.size(), cv::Size(w, h));
    EXPECT_GE(bgr.at<cv::Vec3b>(0, 0)[0], 250);
    EXPECT_LE(bgr.at<cv::Vec3b>(0, 1)[1], 5);
    // A mid grey with a strong V pushes red up and leaves blue down.
    const std::vector<std::uint8_t> reddish = {128, 128, 128, 240, 128, 128, 128, 240};
    const cv::Mat red = decode_to_bgr("YUYV", reddish, 2, 2);
    EXPECT_GT(red.at<cv::Vec3b>(0, 0)[2], red.at<cv::Vec3b>(0, 0)[0] + 100);
}

TEST(DecodeToBgr, PayloadsThatDoNotDecodeRaiseClearErrors) {
    const std::vector<std::uint8_t> junk = {1, 2, 3, 4, 5};
    EXPECT_THROW(decode_to_bgr("MJPG", junk, 2, 2), RuntimeError);
    EXPECT_THROW(decode_to_bgr("MJPG", {}, 2, 2), RuntimeError);
    try {
        decode_to_bgr("YUYV", junk, 4, 4);
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_STREQ(e.what(), "cannot decode YUYV payload: 5 bytes, a 4x4 frame needs 32");
    }
    EXPECT_THROW(decode_to_bgr("YUYV", junk, 0, 0), RuntimeError);
}

TEST(Event, SetWakesWaiterAndClearResets) {
    Event event;
    EXPECT_FALSE(event.is_set());
    EXPECT_FALSE(event.wait_for(0.01));
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.set();
    });
    EXPECT_TRUE(event.wait_for(10.0));
    setter.join();
    event.clear();
    EXPECT_FALSE(event.is_set());
}

TEST(EventFuture, CompletedOnOneThreadWaitedOnAnother) {
    auto future = std::make_shared<EventFuture>();
    EXPECT_FALSE(future->done());
    EXPECT_FALSE(future->wait(0.01));
    EXPECT_THROW(future->get(0.01), RuntimeError);
    std::thread producer([future] { future->set_result(cv::Mat(2, 3, CV_32F, cv::Scalar(7))); });
    const cv::Mat value = future->get(10.0);
    producer.join();
    EXPECT_EQ(value.at<float>(1, 2), 7.0f);
    future->set_error(std::make_exception_ptr(RuntimeError("late")));  // first outcome stays
    EXPECT_NO_THROW(future->get());
}

TEST(EventFuture, StoredErrorIsRethrownToTheWaiter) {
    EventFuture future;
    future.set_error(std::make_exception_ptr(std::invalid_argument("bad output")));
    EXPECT_TRUE(future.done());
    EXPECT_THROW(future.get(), std::invalid_argument);
}

TEST(IntControls, ValidationAndVersioning) {
    IntControlValues values({IntControl::number("block_size", 9, "Block size", 5, 51, 2, "px"),
                             IntControl::enumeration("mode", 1, "Mode", {{0.0, "A"}, {1.0, "B"}})});
    EXPECT_EQ(values.get("block_size"), 9);
    const auto v0 = values.version();
    values.set("block_size", 11);
    EXPECT_EQ(values.get("block_size"), 11);
    EXPECT_GT(values.version(), v0);
    EXPECT_THROW(values.set("block_size", 10), std::invalid_argument);  // off the step
    EXPECT_THROW(values.set("block_size", 53), std::invalid_argument);
    EXPECT_THROW(values.set("mode", 2), std::invalid_argument);
    EXPECT_THROW(values.get("nope"), std::invalid_argument);
    values.set("mode", 0);
    EXPECT_EQ(values.get("mode"), 0);
    // The name, the range or step, the unit.
    for (const auto& [value, message] :
         {std::pair{3, "control block_size must be within 5..51 px; got 3"},
          std::pair{10, "control block_size must be 5 plus a multiple of 2 px; got 10"}}) {
        try {
            values.set("block_size", value);
            ADD_FAILURE() << value << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), message);
        }
    }
}

TEST(Logging, PrintfFormatsAndQuotedRepresentations) {
    EXPECT_EQ(repr(std::string_view("exposure")), "'exposure'");
    EXPECT_EQ(repr(std::string_view("it's")), "\"it's\"");
    EXPECT_EQ(repr(120.0), "120.0");
    EXPECT_EQ(repr(0.5), "0.5");
    EXPECT_EQ(repr(3), "3");
    testing::LogCapture capture("kelvo_camera_sdk.core_test");
    auto logger = get_logger("kelvo_camera_sdk.core_test");
    log_printf(*logger, spdlog::level::warn, "initial control %r=%r failed (non-fatal) %d%%",
               repr(std::string_view("gain")), repr(4.0), 5);
    try {
        throw RuntimeError("boom");
    } catch (...) {
        log_exception(*logger, "pump crashed");
    }
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].text, "initial control 'gain'=4.0 failed (non-fatal) 5%");
    EXPECT_EQ(records[0].level, spdlog::level::warn);
    EXPECT_EQ(records[1].level, spdlog::level::err);
    EXPECT_NE(records[1].text.find("kelvo::RuntimeError: boom"), std::string::npos);
}

struct CountingSink final : spdlog::sinks::base_sink<std::mutex> {
    std::atomic<std::size_t> count{0};
    void sink_it_(const spdlog::details::log_msg&) override { ++count; }
    void flush_() override {}
};

TEST(Logging, SinksSwappedWhileOtherThreadsLogLoseNoRecord) {
    // Run under ThreadSanitizer in CI: the swap must not race the writers.
    auto logger = get_logger("kelvo_camera_sdk.sink_swap_test");
    auto first = std::make_shared<CountingSink>();
    auto second = std::make_shared<CountingSink>();
    constexpr int WRITERS = 2, RECORDS = 3000;
    // In place before the writers start: a record logged earlier would go to
    // whatever sinks another test left and count for neither.
    set_log_sinks({first}, spdlog::level::info);
    std::atomic<int> running{WRITERS};
    std::vector<std::thread> writers;
    for (int w = 0; w < WRITERS; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < RECORDS; ++i) logger->info("record {}", i);
            --running;
        });
    }
    for (int swap = 0; running.load() > 0; ++swap) {
        set_log_sinks({swap % 2 ? second : first}, spdlog::level::info);
    }
    for (auto& t : writers) t.join();
    set_log_sinks({}, spdlog::level::info);
    EXPECT_EQ(first->count.load() + second->count.load(), std::size_t{WRITERS * RECORDS});
}

TEST(CacheDir, DefaultAndOverride) {
    EXPECT_EQ(get_cache_dir().filename(), "kelvo_camera_sdk");
    set_cache_dir("/tmp/kelvo-cache-test");
    EXPECT_EQ(get_cache_dir(), "/tmp/kelvo-cache-test");
    set_cache_dir({});
    EXPECT_EQ(get_cache_dir().parent_path().filename(), ".cache");
}

}  // namespace
}  // namespace kelvo
