// The pipeline's last two stages. The hand-out thread runs the classical
// matcher or waits on the engine, in frame order; the finisher runs the
// post-processing chain, maps the result back to the rectified image,
// computes depth and emits the packets, in the same order, so finishing one
// frame overlaps matching the next.
#include <fmt/format.h>
#include <opencv2/imgproc.hpp>

#include "kelvo/log.hpp"
#include "pipeline/core/pipeline_state.hpp"

namespace kelvo::detail {

namespace {

/// Depth from disparity: fx * baseline / disparity; no depth where there is no disparity.
cv::Mat depth_from_disparity(const cv::Mat& disparity, const Rectification& rect) {
    cv::Mat depth;
    // NaN stays NaN through the division; zero and negative disparities have no depth.
    cv::divide(rect.fx * rect.baseline_m, disparity, depth, CV_32F);
    depth.setTo(invalid_value(), disparity <= 0.0f);
    return depth;
}

}  // namespace

void PipelineState::mark_finished() {
    if (!finished) {
        finished = true;
        t_end = PipelineClock::now();
    }
}

bool PipelineState::take(MutexLock& lock, std::deque<PipelineJob>& queue, PipelineJob& job) {
    while (!stop.is_set() && queue.empty()) cv.wait(lock);
    if (stop.is_set()) return false;
    job = std::move(queue.front());
    queue.pop_front();
    return true;
}

void PipelineState::run_handout() {
    for (;;) {
        PipelineJob job;
        {
            MutexLock lock(mutex);
            if (!take(lock, jobs, job)) break;
        }
        if (job.end) break;  // the caller passes the end on to the finisher
        if (match(job)) {
            MutexLock lock(mutex);
            finishing.push_back(std::move(job));
            cv.notify_all();
        } else {
            release_slot();
        }
    }
}

void PipelineState::end_finishing() {
    MutexLock lock(mutex);
    PipelineJob end;
    end.end = true;
    finishing.push_back(std::move(end));
    cv.notify_all();
}

void PipelineState::run_finisher() {
    for (;;) {
        PipelineJob job;
        {
            MutexLock lock(mutex);
            if (!take(lock, finishing, job)) break;
            if (job.end) {
                mark_finished();
                cv.notify_all();
                break;
            }
        }
        finish(job);
        release_slot();
    }
}

bool PipelineState::match(PipelineJob& job) {
    if (kind == BackendKind::passthrough) return true;
    try {
        const auto t0 = PipelineClock::now();
        if (kind == BackendKind::classic && post->needs_right_view()) {
            auto [left, right] = classic->compute_with_right_view(job.canvas_l, job.canvas_r);
            job.valid = classic->postprocess(left, job.layout);
            job.right_view = crop_to_valid(right, job.layout);
        } else if (kind == BackendKind::classic) {
            job.valid =
                classic->postprocess(classic->compute(job.canvas_l, job.canvas_r), job.layout);
        } else {
            // Poll so that stop() is never held up by an engine that hangs.
            while (!job.future->wait(0.1)) {
                if (stop.is_set()) return false;
            }
            job.valid = neural->postprocess(job.future->get(), job.layout);
            job.future.reset();
        }
        job.timings.inference_ms += ms_since(t0);
        // The grey canvases served the matcher; the chain keeps the left one as its guide.
        if (!post->needs_guide()) job.canvas_l.release();
        job.canvas_r.release();
        return true;
    } catch (...) {
        failed.fetch_add(1);
        log_exception(*logger,
                      fmt::format("frame {}: back-end failed (skipped)", job.frame->sequence));
        return false;
    }
}

void PipelineState::finish(PipelineJob& job) {
    const RawFrame& raw = *job.frame;
    auto packet = std::make_shared<FramePacket>();
    packet->sequence = raw.sequence;
    packet->pts_us = raw.pts_us;
    packet->source_frame_idx = raw.source_frame_idx;
    packet->calibration = job.calibration;
    packet->camera_state = raw.camera_state;
    packet->layout = job.layout;
    packet->timings = job.timings;
    try {
        if (kind != BackendKind::passthrough) {
            auto t0 = PipelineClock::now();
            PostOutput post_out = post_process(job);
            packet->timings.post_ms = ms_since(t0);

            t0 = PipelineClock::now();
            cv::Mat mapped =
                map_to_source(post_out.map, job.layout, /*values_scale_with_width=*/!mono);
            if (!post_out.confidence.empty()) {
                packet->confidence = map_to_source(post_out.confidence, job.layout, false);
            }
            if (mono) {
                if (streams[DEPTH]) packet->depth = mapped;
            } else {
                if (streams[DEPTH] && job.rect) {
                    packet->depth = depth_from_disparity(mapped, *job.rect);
                }
                if (streams[DISPARITY]) packet->disparity = mapped;
            }
            packet->timings.map_back_ms = ms_since(t0);
        }
    } catch (...) {
        failed.fetch_add(1);
        log_exception(*logger,
                      fmt::format("frame {}: post-processing failed (skipped)", raw.sequence));
        return;
    }
    // Colour eyes computed for a neural back-end are handed out only when asked for.
    if (options.rectified_images || kind == BackendKind::passthrough) {
        if (streams[RECTIFIED_LEFT]) packet->rectified_left = job.rect_l;
        if (streams[RECTIFIED_RIGHT]) packet->rectified_right = job.rect_r;
    }
    packet->timings.total_ms = ms_since(job.t_grabbed);
    emit(packet);
}

PostOutput PipelineState::post_process(const PipelineJob& job) {
    const cv::Mat& valid = job.valid;
    PostInput in;
    in.map = valid;
    in.right_view = job.right_view;
    if (post->needs_guide() && !job.canvas_l.empty() && !valid.empty()) {
        const cv::Rect region =
            cv::Rect(job.layout.pad_x, job.layout.pad_y, job.layout.valid_w, job.layout.valid_h) &
            cv::Rect(0, 0, job.canvas_l.cols, job.canvas_l.rows);
        in.guide = job.canvas_l(region);
        // A network may give its map smaller than its input.
        if (in.guide.size() != valid.size()) {
            cv::resize(in.guide.clone(), in.guide, valid.size(), 0, 0, cv::INTER_AREA);
        }
    }
    in.frame_index = job.frame->source_frame_idx.value_or(job.frame->sequence);
    in.want_confidence = streams[CONFIDENCE];
    // The calibration the map was made with and the back-end's settings:
    // a change of either is a new scene for the temporal filter.
    in.scene = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(job.calibration.get())) *
                   1000003u +
               backend->controls().version();
    return post->process(in);
}

void PipelineState::emit(const FramePacketPtr& packet) {
    // The host's callback runs before the lock is taken.
    if (options.on_packet) {
        try {
            options.on_packet(packet);
        } catch (...) {
            log_exception(*logger, "packet callback raised (non-fatal)");
        }
    }
    MutexLock lock(mutex);
    emitted.fetch_add(1);
    emit_times.push_back(PipelineClock::now());
    while (emit_times.size() > 30) emit_times.pop_front();
    if (options.queue_size == 0) return;
    if (options.block_when_full) {
        while (!stop.is_set() && out.size() >= options.queue_size) cv.wait(lock);
        if (stop.is_set()) return;
    } else {
        while (out.size() >= options.queue_size) {
            out.pop_front();
            dropped.fetch_add(1);
        }
    }
    out.push_back(packet);
    cv.notify_all();
}

}  // namespace kelvo::detail
