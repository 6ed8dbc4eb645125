// Reads an encoded image's size from its header, without decoding it, so a
// frame whose size is not the stream's can be refused before it allocates.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace kelvo::detail {

struct ImageHeader {
    const char* format;  ///< "JPEG" or "PNG"
    int width;
    int height;
    bool complete;  ///< the end marker is there (a cut-off file decodes as grey noise)
};

/// The header of a JPEG or PNG image; absent for anything else or a header
/// that is cut off or malformed.
std::optional<ImageHeader> read_image_header(std::span<const std::uint8_t> data);

}  // namespace kelvo::detail
