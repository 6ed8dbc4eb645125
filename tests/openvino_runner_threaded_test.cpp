// The engine's request pool under load: many submissions with two requests,
// results waited on from another thread, shutdown racing submissions.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"

namespace {

std::shared_ptr<kelvo::InferenceEngine> make_engine(int nireq) {
    kelvo::OpenVINORunnerOptions o;
    o.model_path = std::filesystem::path(KELVO_TEST_MODELS_DIR) / "one_input.onnx";
    o.nireq = nireq;
    o.do_models_cache = false;
    return kelvo::create_openvino_runner(o);
}

cv::Mat filled(float value) {
    return cv::Mat(std::vector<int>{1, 3, 4, 5}, CV_32F, cv::Scalar(value));
}

/// Every element of `out` equals 2 * value + 1.
bool carries(const cv::Mat& out, float value) {
    if (out.total() != 60 || out.type() != CV_32F) return false;
    for (std::size_t i = 0; i < out.total(); ++i) {
        if (out.ptr<float>()[i] != 2.0f * value + 1.0f) return false;
    }
    return true;
}

TEST(OpenVINORunnerThreaded, ManySubmissionsEachGetTheirOwnResult) {
    auto engine = make_engine(2);
    constexpr int N = 300;
    std::vector<kelvo::InferenceFuturePtr> futures;
    futures.reserve(N);
    for (int i = 0; i < N; ++i) futures.push_back(engine->submit({filled(float(i))}));
    for (int i = 0; i < N; ++i) {
        ASSERT_TRUE(futures[i]->wait(60.0)) << i;
        EXPECT_TRUE(carries(futures[i]->get(), float(i))) << i;
    }
    engine->shutdown();
}

TEST(OpenVINORunnerThreaded, ConsumerThreadWaitsWhileProducerSubmits) {
    auto engine = make_engine(2);
    constexpr int N = 200;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<int, kelvo::InferenceFuturePtr>> queue;
    bool finished = false;
    std::atomic<int> good{0};
    std::thread consumer([&] {
        for (;;) {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return finished || !queue.empty(); });
            if (queue.empty()) return;
            auto [value, future] = queue.front();
            queue.pop_front();
            lock.unlock();
            if (carries(future->get(60.0), float(value))) ++good;
        }
    });
    for (int i = 0; i < N; ++i) {
        auto future = engine->submit({filled(float(i % 97))});
        std::lock_guard lock(mutex);
        queue.emplace_back(i % 97, std::move(future));
        cv.notify_one();
    }
    {
        std::lock_guard lock(mutex);
        finished = true;
        cv.notify_one();
    }
    consumer.join();
    EXPECT_EQ(good.load(), N);
}

TEST(OpenVINORunnerThreaded, ShutdownWaitsForEveryRunInFlight) {
    for (int round = 0; round < 5; ++round) {
        auto engine = make_engine(2);
        std::vector<kelvo::InferenceFuturePtr> futures;
        for (int i = 0; i < 6; ++i) futures.push_back(engine->submit({filled(float(i))}));
        engine->shutdown();
        for (int i = 0; i < 6; ++i) {
            EXPECT_TRUE(futures[i]->done()) << "round " << round << " run " << i;
            EXPECT_TRUE(carries(futures[i]->get(), float(i)));
        }
    }
}

TEST(OpenVINORunnerThreaded, ShutdownRacingSubmissionsNeverCrashes) {
    for (int round = 0; round < 5; ++round) {
        auto engine = make_engine(2);
        std::atomic<bool> refused{false};
        std::atomic<int> submitted{0};
        std::vector<kelvo::InferenceFuturePtr> futures;  // producer only until joined
        std::thread producer([&] {
            for (int i = 0; i < 100000 && !refused; ++i) {
                try {
                    futures.push_back(engine->submit({filled(1.0f)}));
                    ++submitted;
                } catch (const kelvo::RuntimeError&) {
                    refused = true;
                }
            }
        });
        while (submitted < 3 && !refused) std::this_thread::yield();
        engine->shutdown();
        producer.join();
        EXPECT_TRUE(refused.load());
        for (const auto& f : futures) {
            ASSERT_TRUE(f->done());
            EXPECT_TRUE(carries(f->get(), 1.0f));
        }
    }
}

TEST(OpenVINORunnerThreaded, DestroyingTheEngineWithRunsInFlightIsSafe) {
    std::vector<kelvo::InferenceFuturePtr> futures;
    {
        auto engine = make_engine(2);
        for (int i = 0; i < 4; ++i) futures.push_back(engine->submit({filled(float(i))}));
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(futures[i]->done());
        EXPECT_TRUE(carries(futures[i]->get(), float(i)));
    }
}

}  // namespace
