// The pipeline's worker thread: grab, hand the frame to the recording,
// decode, split, rectify, fit the canvas and (neural back-ends) submit, then
// queue the job for the hand-out thread, at most `max_in_flight` at a time.
#include <fmt/format.h>
#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "pipeline/core/pipeline_state.hpp"

namespace kelvo::detail {

bool PipelineState::reserve_slot() {
    MutexLock lock(mutex);
    while (!stop.is_set() && in_flight >= max_in_flight) cv.wait(lock);
    if (stop.is_set()) return false;
    ++in_flight;
    return true;
}

void PipelineState::release_slot() {
    MutexLock lock(mutex);
    --in_flight;
    cv.notify_all();
}

void PipelineState::push_job(PipelineJob job) {
    MutexLock lock(mutex);
    jobs.push_back(std::move(job));
    cv.notify_all();
}

void PipelineState::run_worker() {
    {
        MutexLock lock(mutex);
        if (info) {
            frame_width = info->width;
            frame_height = info->height;
        }
    }
    try {
        grab_loop();
    } catch (...) {
        log_exception(*logger, "pipeline worker failed; ending the run");
    }
    if (repeated_decode_errors > 0) {
        log_printf(*logger, spdlog::level::warn,
                   "%d more frames did not decode for the same reason (skipped): %s",
                   static_cast<long long>(repeated_decode_errors), last_decode_error);
    }
    // The end marker always follows the last frame, so the hand-out thread finishes.
    PipelineJob end;
    end.end = true;
    push_job(std::move(end));
}

void PipelineState::grab_loop() {
    const double timeout = options.grab_timeout_s;
    while (!stop.is_set()) {
        if (!reserve_slot()) break;
        FramePtr frame;
        try {
            frame = options.source->grab(timeout);
        } catch (...) {
            log_exception(*logger, "pipeline: grabbing from the source failed; ending the run");
            release_slot();
            break;
        }
        if (!frame) {
            release_slot();
            // An absent grab is only a timeout unless the source says it has
            // no more frames.
            if (options.stop_at_end && options.source->at_end()) break;
            continue;
        }
        grabbed.fetch_add(1);
        // Every grabbed frame goes to the recording controller, before any
        // processing; the controller writes it only for sources without a pump.
        std::shared_ptr<RecordingController> recording_now;
        {
            MutexLock lock(mutex);
            recording_now = recording;
        }
        if (recording_now) {
            try {
                recording_now->feed_worker_rate(frame);
            } catch (...) {
                log_exception(*logger, "pipeline: feeding the recording failed (non-fatal)");
            }
        }
        PipelineJob job;
        job.frame = frame;
        job.t_grabbed = PipelineClock::now();
        if (!prepare(job)) {
            release_slot();
            continue;
        }
        push_job(std::move(job));
    }
}

bool PipelineState::wants_colour() const {
    return kind != BackendKind::classic ||
           (options.rectified_images && (streams[RECTIFIED_LEFT] || streams[RECTIFIED_RIGHT]));
}

bool PipelineState::decode(const RawFrame& raw, bool colour, int reduction, cv::Mat& image) {
    try {
        image = colour ? options.source->decode_to_bgr(raw.payload, frame_width, frame_height)
                       : options.source->decode_to_grey(raw.payload, frame_width, frame_height,
                                                        reduction);
        if (image.cols < 2 || image.rows < 1) {
            throw RuntimeError(
                fmt::format("a {}x{} image is not a side-by-side pair", image.cols, image.rows));
        }
    } catch (const std::exception& e) {
        undecodable.fetch_add(1);
        // A stream whose every frame fails the same way is told once, then counted.
        if (e.what() != last_decode_error) {
            log_printf(*logger, spdlog::level::warn, "frame %d does not decode (skipped): %s",
                       static_cast<long long>(raw.sequence), e.what());
            last_decode_error = e.what();
        } else {
            ++repeated_decode_errors;
        }
        return false;
    }
    return true;
}

std::shared_ptr<const Rectification> PipelineState::rectification_for(HeightWidth eye,
                                                                      PipelineJob& job) {
    // The frame's own calibration: the source may have moved on since it
    // handed the frame out. A host's own source that attaches none is asked
    // now, as the only answer it has (the kit's sources always attach theirs).
    CalibrationPtr calibration = job.frame->calibration;
    if (!calibration) calibration = options.source->active_calibration();
    if (!calibration) {
        if (!warned_no_calibration) {
            warned_no_calibration = true;
            log_printf(*logger, spdlog::level::warn,
                       "source has no calibration: running on the unrectified pair");
        }
        return nullptr;
    }
    if (!rect || rect_calibration != calibration || rect->eye_size != eye) {
        rect_calibration = calibration;
        rect = calibration->rectification(eye);
        log_printf(*logger, spdlog::level::debug, "rectification maps built for a %dx%d eye",
                   eye.width, eye.height);
    }
    job.calibration = calibration;
    job.rect = rect;
    return rect;
}

void PipelineState::fit_canvases(const cv::Mat& image, int reduction, PipelineJob& job) {
    const int eye_w = image.cols / 2;
    const cv::Mat left = image(cv::Rect(0, 0, eye_w, image.rows));
    const cv::Mat right = image(cv::Rect(eye_w, 0, eye_w, image.rows));
    if (!job.rect) {
        job.canvas_l = fit_into_canvas(left, job.layout);
        job.canvas_r = fit_into_canvas(right, job.layout);
        return;
    }
    if (canvas_rect != job.rect || canvas_maps.layout != job.layout ||
        canvas_maps.reduction != reduction) {
        canvas_maps = kelvo::canvas_maps(*job.rect, job.layout, reduction);
        canvas_rect = job.rect;
    }
    job.canvas_l = canvas_maps.fit(left, false);
    job.canvas_r = canvas_maps.fit(right, true);
}

void PipelineState::rectify_eyes(const cv::Mat& image, HeightWidth eye, PipelineJob& job) {
    const cv::Mat left = image(cv::Rect(0, 0, eye.width, image.rows));
    const cv::Mat right = image(cv::Rect(eye.width, 0, eye.width, image.rows));
    // A network's canvas is made from the whole eyes.
    const int width = kind == BackendKind::neural ? 0 : rectified_width.load();
    if (width <= 0 || width >= eye.width) {
        job.rect_l = job.rect ? job.rect->rectify(left, false) : left.clone();
        job.rect_r = job.rect ? job.rect->rectify(right, true) : right.clone();
        return;
    }
    const CanvasLayout layout = shrunk_layout(eye, width);
    if (!job.rect) {
        const cv::Size size(layout.valid_w, layout.valid_h);
        cv::resize(left, job.rect_l, size, 0, 0, cv::INTER_AREA);
        cv::resize(right, job.rect_r, size, 0, 0, cv::INTER_AREA);
        return;
    }
    // One remap per eye straight to the smaller size: cheaper than the whole
    // eye, and its encoding for display is too.
    if (shrunk_rect != job.rect || shrunk_maps.layout != layout) {
        shrunk_maps = kelvo::canvas_maps(*job.rect, layout);
        shrunk_rect = job.rect;
    }
    job.rect_l = shrunk_maps.fit(left, false);
    job.rect_r = shrunk_maps.fit(right, true);
}

bool PipelineState::prepare(PipelineJob& job) {
    const RawFrame& raw = *job.frame;
    const bool colour = wants_colour();
    // With the frame size known, the canvas is laid out before decoding, so
    // a grey decode can skip detail the canvas would not show.
    int reduction = 1;
    if (!colour && frame_width > 0 && frame_height > 0) {
        const auto layout = fit_layout({frame_height, frame_width / 2}, backend->input_size());
        reduction = decode_reduction(frame_width, frame_height, layout);
    }
    auto t0 = PipelineClock::now();
    cv::Mat image;
    if (!decode(raw, colour, reduction, image)) return false;
    job.timings.decode_ms = ms_since(t0);

    try {
        const HeightWidth eye{image.rows * reduction, image.cols / 2 * reduction};
        job.layout = fit_layout(eye, backend->input_size());
        rectification_for(eye, job);
        if (!colour) {
            // Camera pixels straight to the grey canvas: one remap per eye.
            t0 = PipelineClock::now();
            fit_canvases(image, reduction, job);
            job.timings.canvas_ms = ms_since(t0);
            return true;
        }

        t0 = PipelineClock::now();
        rectify_eyes(image, eye, job);
        job.timings.rectify_ms = ms_since(t0);

        t0 = PipelineClock::now();
        if (kind == BackendKind::classic) {
            // The same single remap as without colour, on the colour camera
            // image; grey at canvas size costs less than at full size.
            fit_canvases(image, 1, job);
            cv::cvtColor(job.canvas_l, job.canvas_l, cv::COLOR_BGR2GRAY);
            cv::cvtColor(job.canvas_r, job.canvas_r, cv::COLOR_BGR2GRAY);
        } else if (kind == BackendKind::neural) {
            // Networks get the canvas of the rectified colour eyes, as they
            // always have: their input blobs stay what they were.
            job.canvas_l = fit_into_canvas(job.rect_l, job.layout);
            if (!mono) job.canvas_r = fit_into_canvas(job.rect_r, job.layout);
        }
        job.timings.canvas_ms = ms_since(t0);

        if (kind == BackendKind::neural) {
            t0 = PipelineClock::now();
            if (mono && job.rect && job.rect != intrinsics_for) {
                // The back-end sees the canvas, so the intrinsics are scaled and shifted into it.
                const CanvasLayout& l = job.layout;
                static_cast<NeuralMonoInferenceBase*>(neural)->set_intrinsics(
                    job.rect->fx * l.scale, job.rect->fy * l.scale,
                    job.rect->cx * l.scale + l.pad_x, job.rect->cy * l.scale + l.pad_y);
                intrinsics_for = job.rect;
            }
            const std::vector<cv::Mat> blobs =
                neural->preprocess(job.canvas_l, mono ? nullptr : &job.canvas_r);
            job.future = neural->submit(blobs);
            // The chain's edge-aware filter is guided by the left view.
            if (!post || !post->needs_guide()) job.canvas_l.release();
            job.canvas_r.release();
            job.timings.inference_ms = ms_since(t0);
        }
    } catch (...) {
        failed.fetch_add(1);
        log_exception(*logger,
                      fmt::format("frame {}: preparing it failed (skipped)", raw.sequence));
        return false;
    }
    return true;
}

}  // namespace kelvo::detail
