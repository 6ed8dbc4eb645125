// Readers of the recording layout: subtitle histories, attachments, global
// tags, the fourcc of the video track and the timestamp conversions. Private
// to the replay module and not exported: the tests and the fuzzer link the
// module's object library (kelvo_mkv_replay_objects) to reach them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/ffmpeg_raii.hpp"
#include "kelvo/json.hpp"

namespace kelvo::detail {

/// Bounds on the JSON a recording carries. A block over a bound is a bad
/// block (skipped, or treated as absent for the attachment), so a hostile
/// file can neither exhaust memory nor nest deep enough to overflow the stack
/// of code that walks the values.
inline constexpr std::size_t EVENT_MAX_BYTES = std::size_t{1} << 20;
inline constexpr std::size_t ATTACHMENT_MAX_BYTES = std::size_t{4} << 20;
inline constexpr std::size_t HISTORY_MAX_BYTES = std::size_t{64} << 20;
inline constexpr std::size_t JSON_MAX_DEPTH = 64;

/// One recorded event: (rel_us, payload).
using HistoryEvent = std::pair<std::int64_t, Json>;
using History = std::vector<HistoryEvent>;

/// Reads every subtitle track titled one of `titles` in one pass from the
/// current position; bad blocks are logged and skipped. When `frame_pts` is
/// given, the pts_us of every packet of stream `video_index` that has a
/// timestamp and a payload is appended to it in the same pass (the pass then
/// runs even without wanted subtitle tracks), and its byte position to
/// `frame_pos` when that is given too.
std::map<std::string, History> _read_subtitle_tracks(
    AVFormatContext* container, const std::vector<std::string>& titles,
    std::vector<std::int64_t>* frame_pts = nullptr, int video_index = -1,
    std::vector<std::int64_t>* frame_pos = nullptr);

/// Attachment file name -> bytes; attachments without name or data are left out.
std::map<std::string, std::vector<std::uint8_t>> _read_attachment_blobs(AVFormatContext* container);

/// The attachment parsed as JSON, or absent (missing, not UTF-8 or not JSON; the
/// latter two are logged).
std::optional<Json> _parse_attachment_json(
    const std::map<std::string, std::vector<std::uint8_t>>& blobs, const std::string& filename);

/// pts_us of every packet of stream `video_index` from the current position
/// (packets without timestamp or payload skipped).
std::vector<std::int64_t> read_frame_index(AVFormatContext* container, int video_index);

/// The frame-source fourcc for a codec name and codec tag.
std::string derive_fourcc(const std::string& codec_name, std::uint32_t codec_tag);
std::string derive_fourcc(const AVStream* stream);

/// Video time: pts x time base x 1e6 in double precision, rounded half to even.
std::int64_t video_pts_us(std::int64_t pts, AVRational time_base);
/// Event time: floor(pts x num x 1e6 / den) in exact integer arithmetic;
/// 0 without a timestamp or a usable time base.
std::int64_t event_rel_us(std::int64_t pts, AVRational time_base);
/// A recording time in microseconds as a stream timestamp, rounded half to even.
std::int64_t us_to_stream_ts(std::int64_t pts_us, AVRational time_base);
/// The time base of a packet, or `fallback` when the packet carries none.
AVRational packet_time_base(const AVPacket& packet, AVRational fallback);

/// Integer tag text: optional sign, digits, surrounding white space; anything
/// else (fractions, letters, overflow) is absent.
std::optional<std::int64_t> parse_int_tag(std::string_view text);
/// Decimal floating-point tag text with surrounding white space, read the same
/// in every locale; anything else, and infinities and NaN, are absent.
std::optional<double> parse_float_tag(std::string_view text);
/// The tag's value, or `fallback` when it is missing or does not parse.
std::int64_t _int_tag(const std::optional<std::string>& text, std::int64_t fallback = 0);
double _float_tag(const std::optional<std::string>& text, double fallback);
/// A metadata entry by exact name.
std::optional<std::string> dict_value(const AVDictionary* dict, const char* key);

/// An opened recording: the demuxer and, for custom I/O, what it reads
/// through. Released in reverse order: demuxer, I/O context, I/O state.
struct ReplayInput {
    std::shared_ptr<void> io_state;
    IoContextPtr io;
    InputContextPtr ctx;

    AVFormatContext* get() const { return ctx.get(); }
    explicit operator bool() const { return ctx != nullptr; }
    void reset() {
        ctx.reset();
        io.reset();
        io_state.reset();
    }
    ReplayInput() = default;
    ReplayInput(ReplayInput&& other) noexcept = default;
    ReplayInput& operator=(ReplayInput&& other) noexcept {
        reset();
        ctx = std::move(other.ctx);
        io = std::move(other.io);
        io_state = std::move(other.io_state);
        return *this;
    }
    ~ReplayInput() { reset(); }
};

/// Opens a recording for reading. The replay's opener can be replaced (the
/// fuzzer reads from memory).
struct MkvInputOpener {
    std::function<ReplayInput(const std::string& path)> open;
};
/// Opens `path` from the file system as Matroska, keeping every index entry.
ReplayInput open_matroska_file(const std::string& path);
/// Opens Matroska read through a custom I/O context (`io`, whose opaque
/// pointer is `io_state`); `name` only names it in errors.
ReplayInput open_matroska_io(const std::string& name, std::shared_ptr<void> io_state,
                             IoContextPtr io);
}  // namespace kelvo::detail
