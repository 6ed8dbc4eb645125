#include "viewer/jpeg_encoder.hpp"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "core/jpeg_errors.hpp"
#include "kelvo/errors.hpp"

namespace kelvo::detail {
namespace {

using ErrorManager = JpegErrors;

/// Only plain C state lives between setjmp and longjmp; the caller owns the
/// output buffer, which libjpeg allocates with malloc.
bool compress(const cv::Mat& image, int quality, unsigned char** out, unsigned long* size,
              ErrorManager& err) {
    jpeg_compress_struct cinfo;
    cinfo.err = err.install(/*quiet=*/false);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, size);
    cinfo.image_width = static_cast<JDIMENSION>(image.cols);
    cinfo.image_height = static_cast<JDIMENSION>(image.rows);
    const bool grey = image.channels() == 1;
    cinfo.input_components = grey ? 1 : 3;
    cinfo.in_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGR;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(image.ptr<unsigned char>(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

std::string encode_jpeg(const cv::Mat& image, int quality) {
    if (image.empty() || image.depth() != CV_8U ||
        (image.channels() != 1 && image.channels() != 3)) {
        throw RuntimeError("the viewer encodes 8-bit grey or BGR images only");
    }
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    ErrorManager err{};
    const bool ok = compress(image, quality, &buffer, &size, err);
    std::string out;
    if (ok) out.assign(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    if (!ok) throw RuntimeError(std::string("JPEG encoding failed: ") + err.message);
    return out;
}

}  // namespace kelvo::detail
