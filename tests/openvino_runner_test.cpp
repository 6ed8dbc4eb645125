// The OpenVINO engine on tiny real networks through the real runtime: every
// construction rule and message, the compiled-model cache, output selection,
// results and errors delivered through futures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <numeric>

#include "kelvo/cache_dir.hpp"
#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"
#include "support/log_capture.hpp"
#include "support/test_paths.hpp"

namespace {

using kelvo::OpenVINORunnerOptions;
using kelvo::testing::LogCapture;
using kelvo::testing::TempDir;

const char* const CHANNEL = "kelvo_camera_sdk.openvino_runner";
const char* const CACHE_WARNING_PREFIX = "OpenVINO cache dir ";

std::filesystem::path model(const std::string& name) {
    return std::filesystem::path(KELVO_TEST_MODELS_DIR) / (name + ".onnx");
}

/// Options without the disk cache, so tests never touch the user's cache.
OpenVINORunnerOptions no_cache(const std::string& name) {
    OpenVINORunnerOptions o;
    o.model_path = model(name);
    o.do_models_cache = false;
    return o;
}

/// A float blob of `shape` whose elements are start, start + 1, ...
cv::Mat ramp(const std::vector<int>& shape, float start = 0.0f) {
    cv::Mat m(static_cast<int>(shape.size()), shape.data(), CV_32F);
    std::iota(m.ptr<float>(), m.ptr<float>() + m.total(), start);
    return m;
}

std::vector<int> dims(const cv::Mat& m) {
    return {m.size.p, m.size.p + m.dims};
}

std::string runtime_error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const kelvo::RuntimeError& e) {
        return e.what();
    }
    return "<no RuntimeError>";
}

TEST(OpenVINORunner, OneInputNetworkGivesItsNumbers) {
    auto engine = kelvo::create_openvino_runner(no_cache("one_input"));
    ASSERT_EQ(engine->input_shapes().size(), 1u);
    EXPECT_EQ(engine->input_shapes()[0], (kelvo::Shape4{1, 3, 4, 5}));
    const cv::Mat input = ramp({1, 3, 4, 5}, -7.0f);
    auto future = engine->submit({input});
    const cv::Mat out = future->get(30.0);
    ASSERT_EQ(out.type(), CV_32F);
    ASSERT_EQ(dims(out), (std::vector<int>{1, 3, 4, 5}));
    for (std::size_t i = 0; i < out.total(); ++i) {
        EXPECT_FLOAT_EQ(out.ptr<float>()[i], 2.0f * input.ptr<float>()[i] + 1.0f) << i;
    }
    engine->shutdown();
}

TEST(OpenVINORunner, TwoInputsArePairedByPosition) {
    auto engine = kelvo::create_openvino_runner(no_cache("two_inputs"));
    EXPECT_EQ(engine->input_shapes(), (std::vector<kelvo::Shape4>{{1, 3, 4, 5}, {1, 3, 4, 5}}));
    const cv::Mat left = ramp({1, 3, 4, 5}, 100.0f);
    const cv::Mat right = ramp({1, 3, 4, 5}, 0.0f);
    const cv::Mat out = engine->submit({left, right})->get(30.0);
    for (std::size_t i = 0; i < out.total(); ++i) EXPECT_FLOAT_EQ(out.ptr<float>()[i], 100.0f);
}

TEST(OpenVINORunner, WrongBlobCountUsesTheExactMessageAndQueuesNothing) {
    auto o = no_cache("two_inputs");
    o.nireq = 1;
    auto two = kelvo::create_openvino_runner(o);
    const cv::Mat blob = ramp({1, 3, 4, 5});
    try {
        two->submit({blob});
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "submit expected 2 blobs (model inputs ('left', 'right')); got 1");
    }
    // The only request is still free.
    EXPECT_NO_THROW(two->submit({blob, blob})->get(30.0));

    auto one = kelvo::create_openvino_runner(no_cache("one_input"));
    try {
        one->submit({blob, blob});
        ADD_FAILURE() << "no error";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "submit expected 1 blobs (model inputs ('input',)); got 2");
    }
    EXPECT_THROW(one->submit({}), std::invalid_argument);
}

struct BadModelCase {
    const char* name;
    const char* model;
    std::optional<std::vector<std::int64_t>> input_shape;
    std::optional<std::string> output_name;
    const char* message;
};

class OpenVINORunnerRefuses : public ::testing::TestWithParam<BadModelCase> {};

TEST_P(OpenVINORunnerRefuses, WithTheExactMessage) {
    const auto& c = GetParam();
    auto o = no_cache(c.model);
    o.input_shape = c.input_shape;
    o.output_name = c.output_name;
    EXPECT_EQ(runtime_error_of([&] { kelvo::create_openvino_runner(o); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenVINORunnerRefuses,
    ::testing::Values(
        BadModelCase{"shape_override_two_inputs", "two_inputs",
                     std::vector<std::int64_t>{1, 3, 256, 512}, std::nullopt,
                     "input_shape= override only supported for single-input models; got 2 "
                     "inputs"},
        BadModelCase{"empty_shape_override_no_input", "no_input", std::vector<std::int64_t>{},
                     std::nullopt,
                     "input_shape= override only supported for single-input models; got 0 "
                     "inputs"},
        BadModelCase{"no_input", "no_input", std::nullopt, std::nullopt,
                     "model must have \u22651 input and \u22651 output; got 0 in / 1 out"},
        BadModelCase{"rank3", "rank3", std::nullopt, std::nullopt,
                     "model input 'x' must be 4D NCHW"},
        BadModelCase{"rank3_override", "one_input", std::vector<std::int64_t>{1, 60}, std::nullopt,
                     "model input 'input' must be 4D NCHW"},
        BadModelCase{"missing_output", "multi_output", std::nullopt, std::string("c"),
                     "requested output 'c' not in model outputs ['a', 'b']"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenVINORunner, RuntimeErrorsPropagateUnchanged) {
    // A dynamic dimension without an override fails with the runtime's own error.
    try {
        kelvo::create_openvino_runner(no_cache("dynamic"));
        ADD_FAILURE() << "no error";
    } catch (const kelvo::RuntimeError& e) {
        ADD_FAILURE() << "expected the runtime's error, got ours: " << e.what();
    } catch (const std::exception&) {
    }
    OpenVINORunnerOptions absent = no_cache("one_input");
    absent.model_path = model("does_not_exist");
    EXPECT_THROW(kelvo::create_openvino_runner(absent), std::exception);
}

TEST(OpenVINORunner, InputShapeOverrideReshapesTheOnlyInput) {
    auto o = no_cache("dynamic");
    o.input_shape = std::vector<std::int64_t>{1, 3, 6, 7};
    auto engine = kelvo::create_openvino_runner(o);
    EXPECT_EQ(engine->input_shapes(), (std::vector<kelvo::Shape4>{{1, 3, 6, 7}}));
    const cv::Mat out = engine->submit({ramp({1, 3, 6, 7}, 1.0f)})->get(30.0);
    ASSERT_EQ(dims(out), (std::vector<int>{1, 3, 6, 7}));
    EXPECT_FLOAT_EQ(out.ptr<float>()[125], 2.0f * 126.0f + 1.0f);
}

TEST(OpenVINORunner, OutputSelection) {
    const cv::Mat x = ramp({1, 1, 2, 3}, 1.0f);
    auto first = kelvo::create_openvino_runner(no_cache("multi_output"));
    const cv::Mat a = first->submit({x})->get(30.0);
    auto o = no_cache("multi_output");
    o.output_name = "b";
    auto second = kelvo::create_openvino_runner(o);
    const cv::Mat b = second->submit({x})->get(30.0);
    for (int i = 0; i < 6; ++i) {
        EXPECT_FLOAT_EQ(a.ptr<float>()[i], x.ptr<float>()[i] + 1.0f);
        EXPECT_FLOAT_EQ(b.ptr<float>()[i], x.ptr<float>()[i] * 3.0f);
    }
}

TEST(OpenVINORunner, DeviceNamesAreCaseInsensitive) {
    // The runtime itself only knows "CPU".
    auto o = no_cache("one_input");
    o.device = "cpu";
    auto engine = kelvo::create_openvino_runner(o);
    EXPECT_FLOAT_EQ(engine->submit({ramp({1, 3, 4, 5}, 3.0f)})->get(30.0).ptr<float>()[0], 7.0f);
    o.device = "no-such-device";
    EXPECT_THROW(kelvo::create_openvino_runner(o), std::exception);
}

class OpenVINORunnerNireq : public ::testing::TestWithParam<int> {};

TEST_P(OpenVINORunnerNireq, BelowOneMeansOneRequest) {
    auto o = no_cache("one_input");
    o.nireq = GetParam();
    auto engine = kelvo::create_openvino_runner(o);
    // With a single request a returning submit means the previous run is done.
    for (int i = 0; i < 5; ++i) {
        auto first = engine->submit({ramp({1, 3, 4, 5}, static_cast<float>(i))});
        auto second = engine->submit({ramp({1, 3, 4, 5}, 10.0f + i)});
        EXPECT_TRUE(first->done()) << "round " << i;
        EXPECT_FLOAT_EQ(first->get(30.0).ptr<float>()[0], 2.0f * i + 1.0f);
        EXPECT_FLOAT_EQ(second->get(30.0).ptr<float>()[0], 2.0f * (10.0f + i) + 1.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, OpenVINORunnerNireq, ::testing::Values(0, -3, 1));

TEST(OpenVINORunner, Float16OutputStaysFloat16) {
    auto engine = kelvo::create_openvino_runner(no_cache("fp16_output"));
    const cv::Mat out = engine->submit({ramp({1, 1, 2, 3}, 1.0f)})->get(30.0);
    ASSERT_EQ(out.depth(), CV_16F);
    ASSERT_EQ(dims(out), (std::vector<int>{1, 1, 2, 3}));
    cv::Mat as_float;
    out.convertTo(as_float, CV_32F);
    for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(as_float.ptr<float>()[i], 0.5f * (i + 1));
}

TEST(OpenVINORunner, OutputThatCannotBeReadFailsThroughTheFuture) {
    auto engine = kelvo::create_openvino_runner(no_cache("int64_output"));
    kelvo::InferenceFuturePtr future;
    ASSERT_NO_THROW(future = engine->submit({ramp({1, 1, 2, 3})}));
    ASSERT_TRUE(future->wait(30.0));
    EXPECT_EQ(runtime_error_of([&] { future->get(); }),
              "output 'out' has element type i64, which has no array form");
    // The request went back to the pool: the engine keeps working.
    ASSERT_TRUE(engine->submit({ramp({1, 1, 2, 3})})->wait(30.0));
}

TEST(OpenVINORunner, ResultsAreIndependentCopies) {
    auto o = no_cache("one_input");
    o.nireq = 1;
    auto engine = kelvo::create_openvino_runner(o);
    const cv::Mat first = engine->submit({ramp({1, 3, 4, 5}, 0.0f)})->get(30.0);
    const cv::Mat second = engine->submit({ramp({1, 3, 4, 5}, 50.0f)})->get(30.0);
    EXPECT_FLOAT_EQ(first.ptr<float>()[0], 1.0f);
    EXPECT_FLOAT_EQ(second.ptr<float>()[0], 101.0f);
    EXPECT_NE(first.data, second.data);
}

TEST(OpenVINORunner, RejectedBlobsNeverLeakARequest) {
    auto o = no_cache("one_input");
    o.nireq = 2;
    auto engine = kelvo::create_openvino_runner(o);
    const cv::Mat wrong_shape = ramp({1, 3, 5, 5});
    cv::Mat wrong_type(std::vector<int>{1, 3, 4, 5}, CV_8U, cv::Scalar(1));
    for (int i = 0; i < 5; ++i) {
        EXPECT_ANY_THROW(engine->submit({wrong_shape}));
        EXPECT_ANY_THROW(engine->submit({wrong_type}));
    }
    EXPECT_FLOAT_EQ(engine->submit({ramp({1, 3, 4, 5}, 2.0f)})->get(30.0).ptr<float>()[0], 5.0f);
}

TEST(OpenVINORunner, ShutdownIsIdempotentAndLaterSubmitsFail) {
    auto engine = kelvo::create_openvino_runner(no_cache("one_input"));
    auto future = engine->submit({ramp({1, 3, 4, 5})});
    engine->shutdown();
    EXPECT_TRUE(future->done());
    EXPECT_NO_THROW(engine->shutdown());
    EXPECT_EQ(runtime_error_of([&] {
                  engine->submit({ramp({1, 3, 4, 5})});
              }),
              "OpenVINORunner is shut down; submit is not allowed");
    EXPECT_EQ(engine->input_shapes(), (std::vector<kelvo::Shape4>{{1, 3, 4, 5}}));
    // The wrong count is still reported as such.
    EXPECT_THROW(engine->submit({}), std::invalid_argument);
}

// ---- compiled-model cache ----

bool has_files(const std::filesystem::path& dir) {
    return std::filesystem::is_directory(dir) && !std::filesystem::is_empty(dir);
}

TEST(OpenVINORunnerCache, CacheFolderUnderTheGivenRoot) {
    TempDir tmp("ovcache_root");
    LogCapture log(CHANNEL);
    auto o = no_cache("one_input");
    o.do_models_cache = true;
    o.cache_dir = tmp.path() / "deep" / "root";
    auto engine = kelvo::create_openvino_runner(o);
    EXPECT_TRUE(has_files(tmp.path() / "deep" / "root" / "openvino"));
    EXPECT_FALSE(log.contains(CACHE_WARNING_PREFIX));
    // A second engine loads the cached network and gives the same numbers.
    auto again = kelvo::create_openvino_runner(o);
    EXPECT_FLOAT_EQ(again->submit({ramp({1, 3, 4, 5}, 1.0f)})->get(30.0).ptr<float>()[0], 3.0f);
}

TEST(OpenVINORunnerCache, AbsentOrEmptyRootUsesTheKitCacheDir) {
    TempDir tmp("ovcache_kit");
    kelvo::set_cache_dir(tmp.path() / "kit");
    auto o = no_cache("one_input");
    o.do_models_cache = true;
    auto absent = kelvo::create_openvino_runner(o);
    EXPECT_TRUE(has_files(tmp.path() / "kit" / "openvino"));
    std::filesystem::remove_all(tmp.path() / "kit");
    o.cache_dir = std::filesystem::path();
    auto empty = kelvo::create_openvino_runner(o);
    EXPECT_TRUE(has_files(tmp.path() / "kit" / "openvino"));
    kelvo::set_cache_dir({});
}

TEST(OpenVINORunnerCache, TildeMeansTheHomeFolder) {
    TempDir tmp("ovcache_home");
    const char* old_home = std::getenv("HOME");
    const std::string saved = old_home ? old_home : "";
    setenv("HOME", tmp.path().c_str(), 1);
    auto o = no_cache("one_input");
    o.do_models_cache = true;
    o.cache_dir = "~/x";
    std::shared_ptr<kelvo::InferenceEngine> engine;
    EXPECT_NO_THROW(engine = kelvo::create_openvino_runner(o));
    if (old_home) {
        setenv("HOME", saved.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    EXPECT_TRUE(has_files(tmp.path() / "x" / "openvino"));
    EXPECT_FALSE(std::filesystem::exists("~"));
}

TEST(OpenVINORunnerCache, NoCacheNeverTouchesTheFileSystem) {
    TempDir tmp("ovcache_off");
    LogCapture log(CHANNEL);
    kelvo::set_cache_dir(tmp.path() / "kit");
    auto o = no_cache("one_input");
    o.cache_dir = tmp.path() / "given";
    auto engine = kelvo::create_openvino_runner(o);
    kelvo::set_cache_dir({});
    EXPECT_FALSE(std::filesystem::exists(tmp.path() / "kit"));
    EXPECT_FALSE(std::filesystem::exists(tmp.path() / "given"));
    EXPECT_FALSE(log.contains(CACHE_WARNING_PREFIX));
}

TEST(OpenVINORunnerCache, UnwritableLocationWarnsOnceAndTheEngineWorks) {
    TempDir tmp("ovcache_ro");
    // A regular file as the cache root: no folder can be made below it, even as root.
    const auto file = tmp.path() / "not_a_folder";
    std::ofstream(file) << "x";
    LogCapture log(CHANNEL);
    auto o = no_cache("one_input");
    o.do_models_cache = true;
    o.cache_dir = file;
    auto engine = kelvo::create_openvino_runner(o);
    const std::string expected = "OpenVINO cache dir " + (file / "openvino").string() +
                                 " is not writable; expect long warmup on every start (call "
                                 "kelvo_camera_sdk.set_cache_dir() or pass cache_dir=... / "
                                 "do_models_cache=False to redirect)";
    int matches = 0;
    for (const auto& record : log.records()) {
        if (record.text.rfind(CACHE_WARNING_PREFIX, 0) == 0) {
            ++matches;
            EXPECT_EQ(record.text, expected);
            EXPECT_EQ(record.level, spdlog::level::warn);
        }
    }
    EXPECT_EQ(matches, 1);
    EXPECT_FLOAT_EQ(engine->submit({ramp({1, 3, 4, 5}, 1.0f)})->get(30.0).ptr<float>()[0], 3.0f);
}

}  // namespace
