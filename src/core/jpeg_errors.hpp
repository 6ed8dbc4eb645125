// libjpeg's error handling for the kit's own JPEG code: its default handler
// ends the process, so errors jump back to the caller's setjmp instead, with
// the library's message kept.
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace kelvo::detail {

struct JpegErrors {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];

    /// Installs the handlers; `quiet` drops corrupt-data warnings, which would
    /// only go to stderr (the result is what counts).
    jpeg_error_mgr* install(bool quiet) {
        jpeg_error_mgr* mgr = jpeg_std_error(&base);
        mgr->error_exit = [](j_common_ptr cinfo) {
            auto* self = reinterpret_cast<JpegErrors*>(cinfo->err);
            (*cinfo->err->format_message)(cinfo, self->message);
            std::longjmp(self->jump, 1);
        };
        if (quiet) mgr->emit_message = [](j_common_ptr, int) {};
        return mgr;
    }
};

}  // namespace kelvo::detail
