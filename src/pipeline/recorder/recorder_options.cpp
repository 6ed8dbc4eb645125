#include "pipeline/recorder/recorder_options.hpp"

#include <cmath>
#include <stdexcept>

#include "core/small_util.hpp"
#include "kelvo/log.hpp"
#include "pipeline/recorder/recording_timeline.hpp"

namespace kelvo {

Json RecordingStatus::to_json() const {
    Json j;
    j["is_running"] = is_running;
    j["is_paused"] = is_paused;
    j["path"] = path;
    j["frames_written"] = frames_written;
    j["frames_dropped"] = frames_dropped;
    j["bytes_written"] = bytes_written;
    j["duration_us"] = duration_us;
    j["state"] = state;
    j["reason"] = detail::optional_json(reason);
    return j;
}

Json RecordingResult::to_json() const {
    Json j;
    j["path"] = path;
    j["frames_written"] = frames_written;
    j["frames_dropped"] = frames_dropped;
    j["bytes"] = bytes;
    j["duration_us"] = duration_us;
    return j;
}

namespace detail {

std::string checked_fourcc(const MkvRecorderOptions& options) {
    const std::string fourcc = upper(options.source_fourcc);
    if (fourcc != "MJPG" && fourcc != "YUYV")
        throw std::invalid_argument("source_fourcc must be 'MJPG' or 'YUYV'; got " +
                                    repr(options.source_fourcc));
    if (options.path.empty()) throw std::invalid_argument("recording path is empty");
    if (options.width <= 0 || options.height <= 0)
        throw std::invalid_argument("recording width and height must be positive; got " +
                                    std::to_string(options.width) + "x" +
                                    std::to_string(options.height));
    if (options.queue_size == 0) throw std::invalid_argument("queue_size must be at least 1");
    if (options.fps && !(*options.fps > 0 && std::isfinite(*options.fps)))
        throw std::invalid_argument("fps must be a positive number");
    if (!options.camera_info_payload.is_null() && !options.camera_info_payload.is_object())
        throw std::invalid_argument("camera_info_payload must be a JSON object");
    return fourcc;
}

std::string event_text(const Json& value, const char* what) {
    if (!value.is_object())
        throw std::invalid_argument(std::string(what) + " must be a JSON object");
    try {
        return value.dump();
    } catch (const Json::exception& e) {
        throw std::invalid_argument(std::string(what) + " cannot be written as JSON: " + e.what());
    }
}

double frame_rate(const MkvRecorderOptions& options) {
    return options.fps ? *options.fps : fps_from_slug(options.capture_mode_slug).value_or(30.0);
}

}  // namespace detail
}  // namespace kelvo
