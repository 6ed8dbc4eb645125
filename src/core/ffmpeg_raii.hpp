// RAII ownership of FFmpeg handles. Private to the kit: FFmpeg's headers never
// appear in public headers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include "kelvo/errors.hpp"

namespace kelvo::detail {

struct InputContextDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
/// An opened input (avformat_open_input); closes it.
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

struct OutputContextDeleter {
    void operator()(AVFormatContext* c) const {
        if (!c) return;
        if (c->pb && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
/// An output context (avformat_alloc_output_context2); closes its file and frees it.
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

/// Frees a packet's payload when a read cycle ends, however it ends.
struct PacketUnref {
    AVPacket* packet;
    ~PacketUnref() { av_packet_unref(packet); }
};

inline PacketPtr make_packet() {
    PacketPtr p(av_packet_alloc());
    if (!p) throw RuntimeError("av_packet_alloc failed");
    return p;
}

struct DictionaryDeleter {
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;

struct IoContextDeleter {
    void operator()(AVIOContext* io) const {
        if (!io) return;
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
/// A custom I/O context (avio_alloc_context) and its buffer.
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;

/// FFmpeg's text for an error code.
inline std::string av_error_text(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof(buffer));
    return buffer;
}

/// An FFmpeg call that failed, with its error code kept for callers that
/// treat some codes specially (EAGAIN, EINVAL).
class FfmpegError : public RuntimeError {
  public:
    FfmpegError(std::string_view what, int code)
        : RuntimeError(std::string(what) + ": " + av_error_text(code)), _code(code) {}
    int code() const { return _code; }

  private:
    int _code;
};

/// Throws FfmpegError when `code` is negative; returns it otherwise. The
/// message is built only on failure.
inline int check_av(int code, std::string_view what) {
    if (code < 0) throw FfmpegError(what, code);
    return code;
}

}  // namespace kelvo::detail
