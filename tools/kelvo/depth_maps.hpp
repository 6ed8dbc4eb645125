// Writing disparity and depth maps: 32-bit float TIFF plus a colour-mapped
// PNG preview (invalid pixels black), and the progress line of batch commands.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include <fmt/format.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"

namespace kelvo::cli {

/// Writes `<stem>.tiff` (CV_32F as is, NaN kept) and `<stem>.png` (turbo
/// colour map over the finite range; invalid pixels black).
inline void write_float_map(const cv::Mat& map, const std::filesystem::path& stem) {
    const std::string tiff = stem.string() + ".tiff";
    if (!cv::imwrite(tiff, map)) throw RuntimeError("cannot write " + tiff);
    cv::Mat finite = (map == map);  // false where NaN
    double lo = 0, hi = 0;
    cv::minMaxLoc(map, &lo, &hi, nullptr, nullptr, finite);
    cv::Mat scaled;
    const double span = hi > lo ? hi - lo : 1.0;
    map.convertTo(scaled, CV_8U, 255.0 / span, -lo * 255.0 / span);
    cv::Mat colour;
    cv::applyColorMap(scaled, colour, cv::COLORMAP_TURBO);
    colour.setTo(cv::Scalar::all(0), ~finite);
    const std::string png = stem.string() + ".png";
    if (!cv::imwrite(png, colour)) throw RuntimeError("cannot write " + png);
}

/// "frame_000042".
inline std::string frame_stem(long long index) {
    return fmt::format("frame_{:06d}", index);
}

/// One progress line redrawn in place on a terminal.
inline void draw_progress(long long done, long long total, double fps) {
    if (total > 0) {
        const int width = 30;
        const int filled = static_cast<int>(width * std::min(1.0, double(done) / double(total)));
        std::fprintf(stdout, "\r[%s%s] %lld/%lld frames  %.1f fps",
                     std::string(filled, '#').c_str(), std::string(width - filled, '.').c_str(),
                     done, total, fps);
    } else {
        std::fprintf(stdout, "\r%lld frames  %.1f fps", done, fps);
    }
    std::fflush(stdout);
}

}  // namespace kelvo::cli
