// Readers of the recording layout on libavformat.
#include "sources/mkv_replay/mkv_readers.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unordered_map>

#include "kelvo/log.hpp"

namespace kelvo::detail {
namespace {

__extension__ typedef __int128 int128;

spdlog::logger& replay_log() {
    static const auto logger = get_logger("kelvo_camera_sdk.mkv_replay");
    return *logger;
}

std::int64_t saturate(int128 value) {
    if (value > INT64_MAX) return INT64_MAX;
    if (value < INT64_MIN) return INT64_MIN;
    return static_cast<std::int64_t>(value);
}

std::int64_t saturate(double value) {
    if (std::isnan(value)) return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (value >= 9223372036854775808.0) return INT64_MAX;
    if (value < -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(value);
}

// Strict UTF-8 check (no overlongs, no surrogates, nothing above U+10FFFF), so
// a block that is not text is reported as such rather than as bad JSON.
std::optional<std::string> utf8_error(const std::uint8_t* data, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        const unsigned c = data[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t n = 0;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return fmt::format(
                "'utf-8' codec can't decode byte 0x{:02x} in position {}: invalid "
                "start byte",
                c, i);
        }
        for (std::size_t k = 1; k <= n; ++k) {
            const unsigned b = i + k < size ? data[i + k] : 0x100u;
            const unsigned first_lo = k == 1 ? lo : 0x80, first_hi = k == 1 ? hi : 0xBF;
            if (b < first_lo || b > first_hi) {
                return fmt::format(
                    "'utf-8' codec can't decode byte 0x{:02x} in position {}: invalid "
                    "continuation byte",
                    c, i);
            }
        }
        i += n + 1;
    }
    return std::nullopt;
}

/// Builds a Json value from parser events in time linear in the input: an
/// object member is appended (a hash of the object's keys finds duplicates,
/// where a lookup in the ordered object would cost a scan per key), and the
/// nesting is bounded so nothing downstream recurses without limit.
class BoundedJsonBuilder {
  public:
    using string_t = Json::string_t;
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using binary_t = Json::binary_t;

    explicit BoundedJsonBuilder(std::size_t max_depth) : _max_depth(max_depth) {}

    bool null() { return put(Json(nullptr)); }
    bool boolean(bool value) { return put(Json(value)); }
    bool number_integer(number_integer_t value) { return put(Json(value)); }
    bool number_unsigned(number_unsigned_t value) { return put(Json(value)); }
    bool number_float(number_float_t value, const string_t&) { return put(Json(value)); }
    bool string(string_t& value) { return put(Json(std::move(value))); }
    bool binary(binary_t& value) { return put(Json::binary(std::move(value))); }
    bool start_object(std::size_t) { return open(Json::object()); }
    bool start_array(std::size_t) { return open(Json::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(string_t& name) {
        Frame& top = _stack.back();
        auto& members = top.value->get_ref<Json::object_t&>();
        const auto [it, fresh] = top.keys.try_emplace(name, members.size());
        if (fresh) {
            members.emplace_back(std::move(name), nullptr);
            top.slot = &members.back().second;
        } else {  // a repeated key: the last value wins, in the first one's place
            top.slot = &(members.begin() + static_cast<std::ptrdiff_t>(it->second))->second;
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        _error = error.what();
        return false;
    }

    /// The value, or throws std::runtime_error with the reason parsing stopped.
    Json take(bool parsed) {
        if (!parsed || !_error.empty() || !_root) {
            throw std::runtime_error(_error.empty() ? "not a JSON document" : _error);
        }
        return std::move(*_root);
    }

  private:
    struct Frame {
        Json* value;
        Json* slot = nullptr;  ///< where an object's next member value goes
        std::unordered_map<std::string, std::size_t> keys;
    };

    /// Stores `value` where the parser stands; returns where it now lives.
    Json* place(Json value) {
        if (_stack.empty()) {
            _root = std::make_unique<Json>(std::move(value));
            return _root.get();
        }
        Frame& top = _stack.back();
        if (top.value->is_array()) {
            auto& items = top.value->get_ref<Json::array_t&>();
            items.push_back(std::move(value));
            return &items.back();
        }
        *top.slot = std::move(value);
        return top.slot;
    }
    bool put(Json value) {
        place(std::move(value));
        return true;
    }
    bool open(Json container) {
        if (_stack.size() >= _max_depth) {
            _error = fmt::format("nested deeper than {} levels", _max_depth);
            return false;
        }
        _stack.push_back(Frame{place(std::move(container))});
        return true;
    }
    bool close() {
        _stack.pop_back();
        return true;
    }

    std::size_t _max_depth;
    std::unique_ptr<Json> _root;
    std::vector<Frame> _stack;
    std::string _error;
};

/// Parses UTF-8 JSON text of at most `max_bytes`, nested at most
/// JSON_MAX_DEPTH levels; throws std::runtime_error with the reason.
Json parse_json_bytes(const std::uint8_t* data, std::size_t size, std::size_t max_bytes) {
    if (size > max_bytes) {
        throw std::runtime_error(
            fmt::format("{} bytes exceed the limit of {} bytes", size, max_bytes));
    }
    if (auto error = utf8_error(data, size)) throw std::runtime_error(*error);
    BoundedJsonBuilder builder(JSON_MAX_DEPTH);
    const bool parsed = Json::sax_parse(data, data + size, &builder);
    return builder.take(parsed);
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view space = " \t\n\v\f\r";
    const auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

std::optional<std::string> stream_title(const AVStream* stream) {
    return dict_value(stream->metadata, "title");
}

}  // namespace

std::optional<std::string> dict_value(const AVDictionary* dict, const char* key) {
    if (!dict) return std::nullopt;
    const AVDictionaryEntry* entry = av_dict_get(dict, key, nullptr, AV_DICT_MATCH_CASE);
    if (!entry || !entry->value) return std::nullopt;
    return std::string(entry->value);
}

AVRational packet_time_base(const AVPacket& packet, AVRational fallback) {
    if (packet.time_base.num != 0 && packet.time_base.den != 0) return packet.time_base;
    return fallback;
}

std::int64_t video_pts_us(std::int64_t pts, AVRational time_base) {
    if (time_base.den == 0) return 0;
    // Multiply before dividing: the product is exact for any realistic
    // timestamp, so halfway values stay exactly halfway and round to even.
    const double value =
        static_cast<double>(pts) * time_base.num * 1000000.0 / static_cast<double>(time_base.den);
    return saturate(std::nearbyint(value));
}

std::int64_t event_rel_us(std::int64_t pts, AVRational time_base) {
    if (pts == AV_NOPTS_VALUE || time_base.den == 0) return 0;
    int128 num = static_cast<int128>(pts) * time_base.num * 1000000;
    int128 den = time_base.den;
    if (den < 0) {
        num = -num;
        den = -den;
    }
    int128 q = num / den;
    if ((num % den != 0) && (num < 0)) --q;  // floor, not truncation
    return saturate(q);
}

std::int64_t us_to_stream_ts(std::int64_t pts_us, AVRational time_base) {
    if (time_base.num == 0 || time_base.den == 0) {
        throw RuntimeError("stream has no usable time base");
    }
    const double target = static_cast<double>(pts_us) / 1000000.0 /
                          (static_cast<double>(time_base.num) / time_base.den);
    return saturate(std::nearbyint(target));
}

std::string derive_fourcc(const std::string& codec_name, std::uint32_t codec_tag) {
    std::string name = codec_name;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "mjpeg") return "MJPG";
    if (name == "rawvideo") {
        std::string tag;
        for (int i = 0; i < 4; ++i) {
            tag += static_cast<char>(
                std::toupper(static_cast<unsigned char>((codec_tag >> (8 * i)) & 0xFF)));
        }
        if (tag == "YUY2") return "YUYV";
    }
    return "MJPG";
}

std::string derive_fourcc(const AVStream* stream) {
    if (!stream || !stream->codecpar) return "MJPG";
    const char* name = avcodec_get_name(stream->codecpar->codec_id);
    return derive_fourcc(name ? name : "", stream->codecpar->codec_tag);
}

std::optional<std::int64_t> parse_int_tag(std::string_view text) {
    std::string_view t = trim(text);
    if (!t.empty() && t.front() == '+') {
        t.remove_prefix(1);
        if (t.empty() || t.front() == '-') return std::nullopt;
    }
    if (t.empty() || t.front() == '+') return std::nullopt;
    std::int64_t out = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
    return out;
}

std::optional<double> parse_float_tag(std::string_view text) {
    std::string_view t = trim(text);
    // from_chars reads the C locale's form whatever the process's locale is
    // (a decimal comma would turn "7.5" into 7 with strtod), and no hex.
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    if (t.empty() || t.front() == '+') return std::nullopt;
    double out = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
    if (ec != std::errc() || end != t.data() + t.size() || !std::isfinite(out)) return std::nullopt;
    return out;
}

std::int64_t _int_tag(const std::optional<std::string>& text, std::int64_t fallback) {
    if (!text) return fallback;
    return parse_int_tag(*text).value_or(fallback);
}

double _float_tag(const std::optional<std::string>& text, double fallback) {
    if (!text) return fallback;
    return parse_float_tag(*text).value_or(fallback);
}

std::map<std::string, History> _read_subtitle_tracks(AVFormatContext* container,
                                                     const std::vector<std::string>& titles,
                                                     std::vector<std::int64_t>* frame_pts,
                                                     int video_index,
                                                     std::vector<std::int64_t>* frame_pos) {
    std::map<std::string, History> result;
    for (const auto& t : titles) result[t];

    std::map<int, std::string> title_of;
    for (unsigned i = 0; i < container->nb_streams; ++i) {
        const AVStream* st = container->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) continue;
        const auto title = stream_title(st);
        if (title && result.count(*title)) title_of[static_cast<int>(i)] = *title;
    }
    const bool want_index =
        frame_pts && video_index >= 0 && video_index < static_cast<int>(container->nb_streams);
    if (title_of.empty() && !want_index) return result;

    const AVRational video_tb =
        want_index ? container->streams[video_index]->time_base : AVRational{0, 1};
    PacketPtr packet = make_packet();
    std::size_t history_bytes = 0;
    while (true) {
        const int ret = av_read_frame(container, packet.get());
        if (ret == AVERROR_EOF) break;
        if (ret == AVERROR(EAGAIN)) continue;
        check_av(ret, "reading the recording");
        PacketUnref unref{packet.get()};

        if (want_index && packet->stream_index == video_index) {
            if (packet->pts != AV_NOPTS_VALUE && packet->size > 0) {
                frame_pts->push_back(
                    video_pts_us(packet->pts, packet_time_base(*packet, video_tb)));
                if (frame_pos) frame_pos->push_back(packet->pos);
            }
            continue;
        }
        if (packet->dts == AV_NOPTS_VALUE) continue;
        const auto it = title_of.find(packet->stream_index);
        if (it == title_of.end()) continue;
        const AVStream* st = container->streams[packet->stream_index];
        const std::int64_t rel_us =
            event_rel_us(packet->pts, packet_time_base(*packet, st->time_base));
        try {
            if (history_bytes + static_cast<std::size_t>(packet->size) > HISTORY_MAX_BYTES) {
                throw std::runtime_error(fmt::format(
                    "the recording's events exceed {} bytes in all", HISTORY_MAX_BYTES));
            }
            result[it->second].emplace_back(
                rel_us, parse_json_bytes(packet->data, packet->size, EVENT_MAX_BYTES));
            history_bytes += static_cast<std::size_t>(packet->size);
        } catch (const std::exception& e) {
            const std::string stored =
                packet->pts == AV_NOPTS_VALUE ? "None" : std::to_string(packet->pts);
            log_printf(replay_log(), spdlog::level::warn,
                       "subtitle %s: bad packet at pts=%s (skipped): %s", it->second, stored,
                       e.what());
        }
    }
    return result;
}

std::vector<std::int64_t> read_frame_index(AVFormatContext* container, int video_index) {
    std::vector<std::int64_t> out;
    _read_subtitle_tracks(container, {}, &out, video_index);
    return out;
}

std::map<std::string, std::vector<std::uint8_t>> _read_attachment_blobs(
    AVFormatContext* container) {
    std::map<std::string, std::vector<std::uint8_t>> blobs;
    for (unsigned i = 0; i < container->nb_streams; ++i) {
        const AVStream* st = container->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) continue;
        const auto name = dict_value(st->metadata, "filename");
        const std::uint8_t* data = st->codecpar->extradata;
        const int size = st->codecpar->extradata_size;
        if (!name || name->empty() || !data || size <= 0) continue;
        if (static_cast<std::size_t>(size) > ATTACHMENT_MAX_BYTES) {
            log_printf(replay_log(), spdlog::level::warn,
                       "attachment %s of %d bytes exceeds the limit of %d bytes (skipped)", *name,
                       size, static_cast<long long>(ATTACHMENT_MAX_BYTES));
            continue;
        }
        blobs[*name] = std::vector<std::uint8_t>(data, data + size);
    }
    return blobs;
}

std::optional<Json> _parse_attachment_json(
    const std::map<std::string, std::vector<std::uint8_t>>& blobs, const std::string& filename) {
    const auto it = blobs.find(filename);
    if (it == blobs.end()) return std::nullopt;
    try {
        return parse_json_bytes(it->second.data(), it->second.size(), ATTACHMENT_MAX_BYTES);
    } catch (const std::exception& e) {
        log_printf(replay_log(), spdlog::level::warn, "attachment %s parse failed (non-fatal): %s",
                   filename, e.what());
        return std::nullopt;
    }
}

namespace {

/// Applies the demuxer settings every replay container uses (unbounded index).
void configure_input_context(AVFormatContext* context) {
    // Keep every cue: with the default 1 MiB the demuxer thins its index on
    // long recordings and exact frame seeks then land early.
    context->max_index_size = INT_MAX;
}

ReplayInput open_matroska(const std::string& url, const std::string& name,
                          std::shared_ptr<void> io_state, IoContextPtr io) {
    ReplayInput input;
    input.io_state = std::move(io_state);
    input.io = std::move(io);
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) throw RuntimeError("avformat_alloc_context failed");
    configure_input_context(raw);
    if (input.io) {
        raw->pb = input.io.get();
        raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    // Only Matroska is accepted: probing would open other containers and
    // replay something that is not a recording.
    const AVInputFormat* format = av_find_input_format("matroska");
    const int ret = avformat_open_input(&raw, url.c_str(), format, nullptr);
    if (ret < 0) {  // the context is freed by avformat_open_input; the I/O is ours
        throw FfmpegError("cannot open recording " + repr(name) + " as Matroska", ret);
    }
    input.ctx.reset(raw);
    return input;
}
}  // namespace

ReplayInput open_matroska_file(const std::string& path) {
    return open_matroska(path, path, nullptr, nullptr);
}

ReplayInput open_matroska_io(const std::string& name, std::shared_ptr<void> io_state,
                             IoContextPtr io) {
    if (!io) throw RuntimeError("open_matroska_io needs an I/O context");
    return open_matroska("", name, std::move(io_state), std::move(io));
}

}  // namespace kelvo::detail
