// The page's files (src/viewer/web/), compiled into the library by
// cmake/embed_files.cmake so that the viewer needs nothing on disk.
#pragma once

#include <cstddef>
#include <string>

namespace kelvo::detail {

struct EmbeddedFile {
    const char* name;
    const char* mime_type;
    const char* data;
    std::size_t size;
};

/// The file called `name` ("index.html", "viewer.js", ...), or null.
const EmbeddedFile* find_embedded_file(const std::string& name);

}  // namespace kelvo::detail
