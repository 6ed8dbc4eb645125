// The engine interface of the inference framework and its futures.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo {

/// The result of one asynchronous run.
class KELVO_API InferenceFuture {
  public:
    virtual ~InferenceFuture();
    /// Waits up to `timeout_s` seconds (negative: forever); true when done.
    virtual bool wait(double timeout_s = -1.0) const = 0;
    virtual bool done() const = 0;
    /// Waits, then returns the result or rethrows the stored error. Raises
    /// RuntimeError when the timeout passes first.
    virtual cv::Mat get(double timeout_s = -1.0) const = 0;
};

/// A future completed from one thread (an engine's completion thread) and
/// waited on from another. Completing it twice keeps the first outcome.
class KELVO_API EventFuture final : public InferenceFuture {
  public:
    EventFuture() = default;
    void set_result(cv::Mat value);
    void set_error(std::exception_ptr error);

    bool wait(double timeout_s = -1.0) const override;
    bool done() const override;
    cv::Mat get(double timeout_s = -1.0) const override;

  private:
    mutable std::mutex _mutex;
    mutable std::condition_variable _cv;
    bool _done = false;
    cv::Mat _value;
    std::exception_ptr _error;
};

using InferenceFuturePtr = std::shared_ptr<InferenceFuture>;
using Shape4 = std::array<std::int64_t, 4>;

/// An engine runs one compiled network asynchronously.
class KELVO_API InferenceEngine {
  public:
    InferenceEngine() = default;
    virtual ~InferenceEngine();
    /// One (N, C, H, W) per model input, in input order.
    virtual std::vector<Shape4> input_shapes() const = 0;
    /// One blob per model input; returns at once.
    virtual InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) = 0;
    virtual void shutdown() = 0;
};

}  // namespace kelvo
