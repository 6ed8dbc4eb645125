// Frame and camera-description records shared by every frame source.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sources/payload.hpp"

namespace kelvo {

class Calibration;
using CalibrationPtr = std::shared_ptr<const Calibration>;

/// One captured stereo frame, still encoded as the camera delivered it.
///
/// What was in force for the frame travels with it, attached by the source
/// as it hands the frame out: a consumer that asked the source afterwards
/// could already get the next frame's answer (a pump moves on by itself).
struct RawFrame {
    Payload payload;            ///< JPEG for "MJPG", packed YUYV 4:2:2 for "YUYV"
    std::int64_t pts_us = 0;    ///< from the first packet (live) or recording start
    std::int64_t sequence = 0;  ///< 1 for the first frame a source delivers
    std::optional<std::int64_t> source_frame_idx;  ///< index in a recording's frame index
    /// The calibration in force for this frame; null when the source has none.
    CalibrationPtr calibration;
    /// The camera-state snapshot in force for this frame (a recording's
    /// control values); null where the source keeps none (a live camera's
    /// values are read from its control handle).
    std::shared_ptr<const Json> camera_state;
};

/// Frames are shared, never copied, between the slot, fan-out callbacks and consumers.
using FramePtr = std::shared_ptr<const RawFrame>;

/// What a source reports when it opens.
struct KELVO_API CameraInfo {
    std::string os_id;
    std::string camera_name;
    std::string camera_serial;
    int width = 0;
    int height = 0;
    double fps = 0.0;
    bool is_live = false;
    std::string clock_domain = "linux_monotonic";
    std::optional<std::string> sku;

    Json to_json() const;
};

}  // namespace kelvo
