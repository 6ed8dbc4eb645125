// The state a Pipeline shares with its three threads, and the stages they run:
// the worker (pipeline_worker.cpp), the hand-out thread and the finisher
// (pipeline_handout.cpp). Private to kelvo_core.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "kelvo/event.hpp"
#include "kelvo/inference/registry.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/post_chain.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/worker_thread.hpp"

namespace spdlog {
class logger;
}

namespace kelvo::detail {

using PipelineClock = std::chrono::steady_clock;

inline double ms_since(PipelineClock::time_point t0) {
    return std::chrono::duration<double, std::milli>(PipelineClock::now() - t0).count();
}

enum class BackendKind { classic, neural, passthrough };

enum PipelineStream { RECTIFIED_LEFT, RECTIFIED_RIGHT, DISPARITY, DEPTH, CONFIDENCE, STREAM_COUNT };

/// One frame on its way from the worker to the hand-out thread.
struct PipelineJob {
    bool end = false;  ///< the source ended: no frame
    FramePtr frame;
    PipelineClock::time_point t_grabbed;
    cv::Mat rect_l, rect_r;      ///< colour eyes (whole or shrunk), when produced
    cv::Mat canvas_l, canvas_r;  ///< grey for classical back-ends; released after a neural submit
    CanvasLayout layout;
    CalibrationPtr calibration;
    std::shared_ptr<const Rectification> rect;
    InferenceFuturePtr future;  ///< neural back-ends only
    cv::Mat valid;              ///< the back-end's map of the canvas's valid region, once matched
    cv::Mat right_view;         ///< the right view's map of the same region, when checked
    StageTimings timings;
};

/// Held by the Pipeline and by both of its threads, so a thread left running
/// after stop() never outlives what it uses.
///
/// Lock order: `mutex`, then the `stop` event's own lock (the flag is set
/// under `mutex` and tested in its wait predicates). No host code (the
/// packet callback, the source, the recording controller) runs under `mutex`.
struct PipelineState {
    // Constant after construction.
    PipelineOptions options;
    std::shared_ptr<const InferenceClass> cls;
    InferenceVariant variant;
    std::unique_ptr<DepthInferenceBase> backend;
    BackendKind kind = BackendKind::classic;
    ClassicStereoInferenceBase* classic = nullptr;
    NeuralInferenceBase* neural = nullptr;
    bool mono = false;  ///< a mono neural back-end: one eye in, depth out
    /// Jobs between grab and emit: one prepared, one matched, one finished.
    std::size_t max_in_flight = 3;
    std::shared_ptr<spdlog::logger> logger;
    /// The chain after the back-end (none for the pass-through); its
    /// controls are thread-safe, `process` runs on the hand-out thread.
    std::unique_ptr<PostChain> post;

    /// A runtime control of the back-end or, for "post_" names, of the chain.
    void set_control(const std::string& name, int value);

    // Atomic.
    std::array<std::atomic<bool>, STREAM_COUNT> streams{};
    std::atomic<int> rectified_width{0};
    std::atomic<std::int64_t> grabbed{0}, emitted{0}, undecodable{0}, failed{0}, dropped{0};
    /// Asks every thread to stop; set under `mutex` with a notify of `cv`.
    Event stop;

    // The threads; thread-safe by themselves.
    WorkerThread worker;    ///< "kelvo-pipeline": grab, decode, rectify, canvas, submit
    WorkerThread handout;   ///< "kelvo-pipe-out": matcher or engine result
    WorkerThread finisher;  ///< "kelvo-pipe-fin": chain, map back, emit

    // Guarded by `mutex`; `cv` signals jobs, free slots, packets and the end of the run.
    mutable Mutex mutex;
    mutable CondVar cv;
    std::deque<PipelineJob> jobs KELVO_GUARDED_BY(mutex);
    /// Matched jobs waiting for the finisher, in frame order; an end marker last.
    std::deque<PipelineJob> finishing KELVO_GUARDED_BY(mutex);
    /// Jobs reserved by the worker and not yet finished.
    std::size_t in_flight KELVO_GUARDED_BY(mutex) = 0;
    std::deque<FramePacketPtr> out KELVO_GUARDED_BY(mutex);
    std::deque<PipelineClock::time_point> emit_times KELVO_GUARDED_BY(mutex);
    bool started KELVO_GUARDED_BY(mutex) = false;
    bool stopped KELVO_GUARDED_BY(mutex) = false;
    bool finished KELVO_GUARDED_BY(mutex) = false;
    PipelineClock::time_point t_start KELVO_GUARDED_BY(mutex);
    PipelineClock::time_point t_end KELVO_GUARDED_BY(mutex);
    std::optional<CameraInfo> info KELVO_GUARDED_BY(mutex);
    std::shared_ptr<RecordingController> recording KELVO_GUARDED_BY(mutex);

    // Worker thread only.
    int frame_width = 0;              ///< of the camera information, for decoding "YUYV"
    int frame_height = 0;             ///< likewise
    CalibrationPtr rect_calibration;  ///< the calibration `rect` was taken from
    std::shared_ptr<const Rectification> rect;
    /// Camera pixels to canvas pixels for `canvas_rect`, as last used.
    std::shared_ptr<const Rectification> canvas_rect;
    CanvasMaps canvas_maps;
    /// Camera pixels to shrunk rectified eyes, likewise.
    std::shared_ptr<const Rectification> shrunk_rect;
    CanvasMaps shrunk_maps;
    bool warned_no_calibration = false;
    std::string last_decode_error;            ///< the reason last logged
    std::int64_t repeated_decode_errors = 0;  ///< further frames failing for it, not logged
    /// Last rectification given to a mono back-end.
    std::shared_ptr<const Rectification> intrinsics_for;

    // Worker (pipeline_worker.cpp).
    void run_worker() KELVO_EXCLUDES(mutex);
    void grab_loop() KELVO_EXCLUDES(mutex);
    bool prepare(PipelineJob& job);
    /// Decodes the payload (grey, `reduction` times smaller, or colour);
    /// false when it does not decode (counted and logged).
    bool decode(const RawFrame& raw, bool colour, int reduction, cv::Mat& image);
    /// The rectification in force for eyes of `eye` (null without a calibration).
    std::shared_ptr<const Rectification> rectification_for(HeightWidth eye, PipelineJob& job);
    /// Both canvases straight from the side-by-side camera image (decoded
    /// `reduction` times smaller): one remap per eye with a calibration, a
    /// resize without.
    void fit_canvases(const cv::Mat& image, int reduction, PipelineJob& job);
    /// The colour eyes handed out, from the decoded side-by-side image:
    /// rectified whole, or remapped straight to `rectified_width`.
    void rectify_eyes(const cv::Mat& image, HeightWidth eye, PipelineJob& job);
    /// True when this frame needs colour: a neural back-end, the pass-through,
    /// or rectified eyes to hand out.
    bool wants_colour() const;
    bool reserve_slot() KELVO_EXCLUDES(mutex);
    void release_slot() KELVO_EXCLUDES(mutex);
    void push_job(PipelineJob job) KELVO_EXCLUDES(mutex);

    // Hand-out and finisher (pipeline_handout.cpp).
    /// Waits for the next job of `queue` (`jobs` or `finishing`); false once the run stops.
    bool take(MutexLock& lock, std::deque<PipelineJob>& queue, PipelineJob& job)
        KELVO_REQUIRES(mutex);
    void run_handout() KELVO_EXCLUDES(mutex);
    /// The back-end's part of a job; false when it failed (counted, logged) or the run stops.
    bool match(PipelineJob& job) KELVO_EXCLUDES(mutex);
    /// Queues the end marker for the finisher: the hand-out thread's last act.
    void end_finishing() KELVO_EXCLUDES(mutex);
    void run_finisher() KELVO_EXCLUDES(mutex);
    void finish(PipelineJob& job) KELVO_EXCLUDES(mutex);
    /// The job's matched map (and right view) through the chain.
    PostOutput post_process(const PipelineJob& job);
    void emit(const FramePacketPtr& packet) KELVO_EXCLUDES(mutex);
    /// Records the end of the run once.
    void mark_finished() KELVO_REQUIRES(mutex);
};

}  // namespace kelvo::detail
