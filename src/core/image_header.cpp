#include "core/image_header.hpp"

#include <algorithm>
#include <array>

namespace kelvo::detail {
namespace {

unsigned be16(const std::uint8_t* p) {
    return (unsigned{p[0]} << 8) | p[1];
}
std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

/// Start-of-frame markers carry the size; the others in C0..CF do not.
bool is_start_of_frame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<ImageHeader> jpeg_header(std::span<const std::uint8_t> d) {
    std::size_t i = 2;
    std::optional<ImageHeader> header;
    while (i + 4 <= d.size()) {
        if (d[i] != 0xFF) return std::nullopt;
        const std::uint8_t marker = d[i + 1];
        if (marker == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // no length
            i += 2;
            continue;
        }
        const std::size_t length = be16(&d[i + 2]);
        if (length < 2 || i + 2 + length > d.size()) return std::nullopt;
        if (is_start_of_frame(marker)) {
            if (length < 7) return std::nullopt;
            header = ImageHeader{"JPEG", static_cast<int>(be16(&d[i + 7])),
                                 static_cast<int>(be16(&d[i + 5])), false};
        }
        if (marker == 0xDA) {  // start of scan: entropy-coded data follows
            if (!header) return std::nullopt;
            // Coded data never holds FF D9 (a data FF is followed by 00), so
            // the image is whole when the end marker follows the scan.
            static constexpr std::array<std::uint8_t, 2> eoi = {0xFF, 0xD9};
            const auto scan = d.begin() + static_cast<std::ptrdiff_t>(i + 2 + length);
            header->complete = std::search(scan, d.end(), eoi.begin(), eoi.end()) != d.end();
            return header;
        }
        i += 2 + length;
    }
    return std::nullopt;
}

std::optional<ImageHeader> png_header(std::span<const std::uint8_t> d) {
    // Signature (8), then the IHDR chunk: length (4), type (4), width, height.
    if (d.size() < 24 || be32(&d[8]) < 8 || !std::equal(d.begin() + 12, d.begin() + 16, "IHDR"))
        return std::nullopt;
    const std::uint32_t w = be32(&d[16]);
    const std::uint32_t h = be32(&d[20]);
    if (w > 0x7FFFFFFF || h > 0x7FFFFFFF) return std::nullopt;
    // The IEND chunk closes the file: its type, then a 4-byte checksum.
    const bool complete = d.size() >= 36 && std::equal(d.end() - 8, d.end() - 4, "IEND");
    return ImageHeader{"PNG", static_cast<int>(w), static_cast<int>(h), complete};
}

}  // namespace

std::optional<ImageHeader> read_image_header(std::span<const std::uint8_t> data) {
    static constexpr std::array<std::uint8_t, 8> png = {0x89, 'P',  'N',  'G',
                                                        '\r', '\n', 0x1A, '\n'};
    if (data.size() >= 4 && data[0] == 0xFF && data[1] == 0xD8) return jpeg_header(data);
    if (data.size() >= png.size() && std::equal(png.begin(), png.end(), data.begin()))
        return png_header(data);
    return std::nullopt;
}

}  // namespace kelvo::detail
