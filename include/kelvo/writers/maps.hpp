// Files a run writes for each frame: float maps as 32-bit TIFF stating what
// they hold, colour previews with a stated scale, 8-bit images, 16-bit
// millimetre depth PNGs and coloured PLY point clouds. Every file is written
// under a temporary name and renamed when complete.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <opencv2/core.hpp>

#include "kelvo/export.hpp"

namespace kelvo {
class Pipeline;
struct FramePacket;
}  // namespace kelvo

namespace kelvo {

/// What a float map holds, as its file name, TIFF description and preview say.
struct MapMeaning {
    std::string kind;         ///< "disparity" or "depth": the file-name prefix
    std::string unit;         ///< "pixels", "metres" or "relative"
    std::string unit_label;   ///< on the colour bar: "px", "m" or ""
    std::string description;  ///< the TIFF ImageDescription
};

/// Disparity of the left rectified eye, in pixels.
KELVO_API MapMeaning disparity_meaning(const std::string& backend);
/// Depth along the optical axis: metres from stereo or a metric network,
/// relative values from a relative one.
KELVO_API MapMeaning depth_meaning(const std::string& backend, bool metric);

/// True for a monocular back-end (depth, no disparity).
KELVO_API bool is_mono(const Pipeline& pipeline);
/// True when the depth is in metres (stereo, or a network tagged "metric").
KELVO_API bool metric_depth(const Pipeline& pipeline);
/// What the pipeline's main map holds: depth for a monocular back-end,
/// disparity otherwise.
KELVO_API MapMeaning map_meaning(const Pipeline& pipeline);

/// What a confidence file (confidence_NNNNNN.png) holds, as run.json says it.
inline constexpr const char* CONFIDENCE_FORMAT =
    "8-bit grey PNG of the map's size: how far to trust each value, 0 = no estimate (no trust) "
    "up to 255";

/// "disparity_000042".
KELVO_API std::string frame_stem(std::string_view kind, long long index);

/// A CV_32F map as a single-channel 32-bit float TIFF (NaN kept) whose
/// ImageDescription is `description`.
KELVO_API void write_float_tiff(const cv::Mat& map, const std::filesystem::path& file,
                                const std::string& description);

/// The value range a preview's colours span.
struct PreviewScale {
    double lo = 0, hi = 0;
    bool any_valid = false;
};
/// The map colour-mapped (turbo: smallest valid value blue, largest red;
/// no estimate black) with a colour bar on the right labelled with the
/// range and `unit_label`.
KELVO_API cv::Mat render_preview(const cv::Mat& map, const std::string& unit_label,
                                 PreviewScale* scale);
KELVO_API PreviewScale write_preview_png(const cv::Mat& map, const std::filesystem::path& file,
                                         const std::string& unit_label);

/// `<stem>.tiff` and its preview `<stem>.png`.
KELVO_API PreviewScale write_float_map(const cv::Mat& map, const std::filesystem::path& stem,
                                       const MapMeaning& meaning);

/// Any image OpenCV encodes as PNG (8-bit BGR, 16-bit grey).
KELVO_API void write_png(const cv::Mat& image, const std::filesystem::path& file);

/// Depth in metres as a 16-bit PNG of millimetres; 0 where there is no
/// estimate or the depth is beyond 65.535 m.
KELVO_API void write_depth_mm_png(const cv::Mat& depth_m, const std::filesystem::path& file);

/// Pinhole intrinsics of the rectified left eye, in its pixels.
struct Intrinsics {
    double fx = 0, fy = 0, cx = 0, cy = 0;
};
/// A binary PLY of every pixel with a depth: x right, y down, z forward in
/// metres in the rectified left camera's frame, coloured from `bgr`. Returns
/// the number of points.
KELVO_API std::int64_t write_ply(const cv::Mat& depth_m, const cv::Mat& bgr,
                                 const Intrinsics& intrinsics, const std::filesystem::path& file,
                                 const std::string& comment);
/// The packet's point cloud: its depth coloured from its rectified left eye
/// (scaled to the depth's size when smaller), in that eye's rectified camera
/// from the calibration in force (which the packet must carry).
KELVO_API std::int64_t write_packet_ply(const FramePacket& packet,
                                        const std::filesystem::path& file,
                                        const std::string& comment);

}  // namespace kelvo
