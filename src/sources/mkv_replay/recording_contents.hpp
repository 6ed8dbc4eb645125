// What a recording holds besides its frames, read once when it is opened:
// metadata, camera identity, the calibration and camera-state histories and
// the frame index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelvo/calibration.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/types.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"

namespace spdlog {
class logger;
}

namespace kelvo::detail {

/// The camera_info.json attachment and the factory calibration it carries,
/// readable before the recording is opened for replay.
struct EmbeddedCameraInfo {
    std::optional<Json> camera_info;  ///< an object, or absent
    CalibrationPtr base_calibration;  ///< null when absent or not buildable
};

/// Reads the attachment through a container of its own; every failure is
/// logged and leaves the fields absent.
EmbeddedCameraInfo preload_camera_info(const MkvInputOpener& opener, const std::string& path,
                                       spdlog::logger& logger);

struct RecordingContents {
    int stream_index = -1;
    AVRational time_base{0, 1};
    std::string fourcc = "MJPG";
    std::int64_t duration_us = 0;
    std::int64_t t0_monotonic_ns = 0;
    std::int64_t t0_utc_ns = 0;
    std::string clock_domain = "linux_monotonic";
    std::string mode_slug;
    History calibration_history;
    History camera_state_history;
    std::optional<Json> camera_controls_snapshot;  ///< the first camera_state event
    std::vector<std::int64_t> frame_pts;  ///< the frame index, in file order (empty when not built)
    std::vector<std::int64_t> frame_pos;  ///< each indexed frame's byte position
    std::vector<std::string> attachment_names;
    CameraInfo info;
};

/// Reads everything but the frames from a freshly opened recording, in one
/// pass over the whole file. Events stored out of time order are put in time
/// order (with a warning). RuntimeError for a file without a video track or a
/// usable time base.
RecordingContents read_recording_contents(AVFormatContext* container, const std::string& path,
                                          const std::optional<Json>& camera_info,
                                          bool build_frame_index, spdlog::logger& logger);

}  // namespace kelvo::detail
