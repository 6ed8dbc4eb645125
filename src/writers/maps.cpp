#include "kelvo/writers/maps.hpp"

#include <tiffio.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <vector>

#include <fmt/format.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "kelvo/errors.hpp"
#include "kelvo/map_colours.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/writers/safe_output.hpp"

namespace kelvo {
namespace {

thread_local std::string g_tiff_error;

extern "C" void on_tiff_error(const char* module, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    g_tiff_error = module ? fmt::format("{}: {}", module, text) : std::string(text);
}

/// libtiff reports through global handlers; its messages become the text of
/// the exception instead of lines on standard error.
void install_tiff_handlers() {
    static const bool installed = [] {
        TIFFSetErrorHandler(on_tiff_error);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)installed;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};

}  // namespace

MapMeaning disparity_meaning(const std::string& backend) {
    return {"disparity", "pixels", "px",
            fmt::format("kelvo disparity map: disparity of the left rectified eye in pixels "
                        "(32-bit float; NaN = no estimate); back-end {}",
                        backend)};
}

MapMeaning depth_meaning(const std::string& backend, bool metric) {
    if (metric) {
        return {"depth", "metres", "m",
                fmt::format("kelvo depth map: distance along the optical axis of the left "
                            "rectified eye in metres (32-bit float; NaN = no estimate); back-end "
                            "{}",
                            backend)};
    }
    return {"depth", "relative", "",
            fmt::format("kelvo depth map: relative depth, not metres: the network's output "
                        "after the back-end's scale and offset controls (32-bit float; NaN = no "
                        "estimate); back-end {}",
                        backend)};
}

bool is_mono(const Pipeline& pipeline) {
    return pipeline.backend_kind() == InferenceKind::mono;
}

bool metric_depth(const Pipeline& pipeline) {
    if (!is_mono(pipeline)) return true;  // from stereo: focal length times baseline over disparity
    const Json& meta = pipeline.variant().configurations.value("selector_meta", Json::object());
    for (const auto& tag : meta.value("tags", Json::array())) {
        if (tag == "metric") return true;
    }
    return false;
}

MapMeaning map_meaning(const Pipeline& pipeline) {
    const std::string& backend = pipeline.backend_key();
    return is_mono(pipeline) ? depth_meaning(backend, metric_depth(pipeline))
                             : disparity_meaning(backend);
}

std::string frame_stem(std::string_view kind, long long index) {
    return fmt::format("{}_{:06d}", kind, index);
}

void write_float_tiff(const cv::Mat& map, const std::filesystem::path& file,
                      const std::string& description) {
    CV_Assert(map.type() == CV_32FC1);
    install_tiff_handlers();
    PendingFile pending(file);
    g_tiff_error.clear();
    std::unique_ptr<TIFF, TiffCloser> tif(TIFFOpen(pending.path().c_str(), "w"));
    if (!tif) throw RuntimeError(fmt::format("cannot write {}: {}", file.string(), g_tiff_error));
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(map.cols));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(map.rows));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 32);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    // Lossless; the floating-point predictor roughly halves smooth maps.
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_FLOATINGPOINT);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    TIFFSetField(t, TIFFTAG_SOFTWARE, "kelvo " KELVO_VERSION);
    std::vector<float> row(static_cast<std::size_t>(map.cols));
    for (int y = 0; y < map.rows; ++y) {
        // libtiff may encode in place, so each row goes through a scratch copy.
        std::memcpy(row.data(), map.ptr<float>(y), row.size() * sizeof(float));
        if (TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
            throw RuntimeError(fmt::format("cannot write {}: {}", file.string(), g_tiff_error));
        }
    }
    tif.reset();
    if (!g_tiff_error.empty()) {
        throw RuntimeError(fmt::format("cannot write {}: {}", file.string(), g_tiff_error));
    }
    pending.commit();
}

cv::Mat render_preview(const cv::Mat& map, const std::string& unit_label, PreviewScale* scale) {
    const ColouredMap coloured = colour_map(map);
    const cv::Mat& colour = coloured.bgr;
    PreviewScale s{coloured.lo, coloured.hi, coloured.any_valid};

    // The colour bar: the same colour map from the largest value (top) to
    // the smallest (bottom), with the values at both ends and the middle.
    const int height = map.rows;
    const int bar_width = 84;
    cv::Mat panel(height, bar_width, CV_8UC3, cv::Scalar(40, 40, 40));
    const int strip_x = 6, strip_w = 14, margin = std::min(8, height / 4);
    const int strip_h = std::max(1, height - 2 * margin);
    cv::Mat ramp(strip_h, 1, CV_8U);
    for (int y = 0; y < strip_h; ++y) {
        ramp.at<std::uint8_t>(y) = static_cast<std::uint8_t>(
            std::lround(255.0 * (strip_h - 1 - y) / std::max(1, strip_h - 1)));
    }
    cv::Mat ramp_colour;
    cv::applyColorMap(ramp, ramp_colour, cv::COLORMAP_TURBO);
    cv::resize(ramp_colour, ramp_colour, {strip_w, strip_h}, 0, 0, cv::INTER_NEAREST);
    ramp_colour.copyTo(panel(cv::Rect(strip_x, margin, strip_w, strip_h)));
    const auto label = [&](double value) {
        return unit_label.empty() ? fmt::format("{:.3g}", value)
                                  : fmt::format("{:.3g} {}", value, unit_label);
    };
    const auto put = [&](const std::string& text, int y) {
        cv::putText(panel, text, {strip_x + strip_w + 4, y}, cv::FONT_HERSHEY_SIMPLEX, 0.35,
                    cv::Scalar(255, 255, 255), 1, cv::LINE_AA);
    };
    if (s.any_valid) {
        put(label(s.hi), margin + 8);
        put(label((s.lo + s.hi) / 2), margin + strip_h / 2 + 4);
        put(label(s.lo), margin + strip_h);
    } else {
        put("no valid", height / 2);
    }
    cv::Mat out;
    cv::hconcat(colour, panel, out);
    if (scale) *scale = s;
    return out;
}

PreviewScale write_preview_png(const cv::Mat& map, const std::filesystem::path& file,
                               const std::string& unit_label) {
    PreviewScale scale;
    write_png(render_preview(map, unit_label, &scale), file);
    return scale;
}

PreviewScale write_float_map(const cv::Mat& map, const std::filesystem::path& stem,
                             const MapMeaning& meaning) {
    write_float_tiff(map, stem.string() + ".tiff", meaning.description);
    return write_preview_png(map, stem.string() + ".png", meaning.unit_label);
}

void write_png(const cv::Mat& image, const std::filesystem::path& file) {
    std::vector<std::uint8_t> bytes;
    if (!cv::imencode(".png", image, bytes)) throw RuntimeError("cannot encode " + file.string());
    write_file_atomically(
        file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void write_depth_mm_png(const cv::Mat& depth_m, const std::filesystem::path& file) {
    CV_Assert(depth_m.type() == CV_32FC1);
    cv::Mat mm(depth_m.size(), CV_16UC1);
    for (int y = 0; y < depth_m.rows; ++y) {
        const float* z = depth_m.ptr<float>(y);
        std::uint16_t* out = mm.ptr<std::uint16_t>(y);
        for (int x = 0; x < depth_m.cols; ++x) {
            const double value = std::round(static_cast<double>(z[x]) * 1000.0);
            out[x] = (std::isfinite(value) && value > 0 && value <= 65535)
                         ? static_cast<std::uint16_t>(value)
                         : 0;
        }
    }
    write_png(mm, file);
}

std::int64_t write_ply(const cv::Mat& depth_m, const cv::Mat& bgr, const Intrinsics& k,
                       const std::filesystem::path& file, const std::string& comment) {
    CV_Assert(depth_m.type() == CV_32FC1 && bgr.type() == CV_8UC3 && bgr.size() == depth_m.size());
    std::int64_t count = 0;
    for (int y = 0; y < depth_m.rows; ++y) {
        const float* z = depth_m.ptr<float>(y);
        for (int x = 0; x < depth_m.cols; ++x) count += (std::isfinite(z[x]) && z[x] > 0) ? 1 : 0;
    }
    std::string bytes = fmt::format(
        "ply\nformat binary_little_endian 1.0\ncomment {}\n"
        "comment x right, y down, z forward, in metres, in the rectified left camera\n"
        "element vertex {}\nproperty float x\nproperty float y\nproperty float z\n"
        "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n",
        comment, count);
    const std::size_t header = bytes.size();
    bytes.resize(header + static_cast<std::size_t>(count) * 15);
    char* out = bytes.data() + header;
    static_assert(sizeof(float) == 4);
    for (int y = 0; y < depth_m.rows; ++y) {
        const float* z = depth_m.ptr<float>(y);
        const cv::Vec3b* colour = bgr.ptr<cv::Vec3b>(y);
        for (int x = 0; x < depth_m.cols; ++x) {
            if (!(std::isfinite(z[x]) && z[x] > 0)) continue;
            const float p[3] = {static_cast<float>((x - k.cx) * z[x] / k.fx),
                                static_cast<float>((y - k.cy) * z[x] / k.fy), z[x]};
            std::memcpy(out, p, sizeof p);  // the kit's platforms are little-endian
            out[12] = static_cast<char>(colour[x][2]);
            out[13] = static_cast<char>(colour[x][1]);
            out[14] = static_cast<char>(colour[x][0]);
            out += 15;
        }
    }
    write_file_atomically(file, bytes);
    return count;
}

std::int64_t write_packet_ply(const FramePacket& packet, const std::filesystem::path& file,
                              const std::string& comment) {
    // The depth map has the eye's size; the colour eye may have been made
    // smaller for display (the viewer's), and is then brought to it.
    cv::Mat colour = packet.rectified_left;
    if (!colour.empty() && colour.size() != packet.depth.size()) {
        cv::resize(colour, colour, packet.depth.size(), 0, 0, cv::INTER_LINEAR);
    }
    const auto r = packet.calibration->rectification({packet.depth.rows, packet.depth.cols});
    return write_ply(packet.depth, colour, {r->fx, r->fy, r->cx, r->cy}, file, comment);
}

}  // namespace kelvo
