// RAII ownership of FFmpeg handles. Private to the kit: FFmpeg's headers never
// appear in public headers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include "kelvo/errors.hpp"
#include "kelvo/sources/payload.hpp"

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

/// The packet's bytes as a frame payload without a copy: a new reference to
/// its buffer, released when the last copy of the payload goes. A packet
/// without a reference-counted buffer is copied.
inline Payload payload_of(const AVPacket& packet) {
    if (!packet.data || packet.size <= 0) return {};
    if (!packet.buf) return std::vector<std::uint8_t>(packet.data, packet.data + packet.size);
    AVBufferRef* ref = av_buffer_ref(packet.buf);
    if (!ref) throw RuntimeError("av_buffer_ref failed");
    std::shared_ptr<const void> owner(ref, [](const void* p) {
        auto* buffer = static_cast<AVBufferRef*>(const_cast<void*>(p));
        av_buffer_unref(&buffer);
    });
    return Payload(std::move(owner), packet.data, static_cast<std::size_t>(packet.size));
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
