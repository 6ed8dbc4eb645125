#include "pipeline/recorder/matroska_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

#include <fmt/format.h>

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
}

namespace kelvo::detail {

namespace {

constexpr int IO_BUFFER_SIZE = 256 * 1024;
constexpr std::uint64_t TIMESTAMP_SCALE_NS = 1000;  // 1 µs per tick

// EBML element IDs (with their length marker bits, as they appear in the file).
constexpr std::uint32_t ID_SEGMENT = 0x18538067;
constexpr std::uint32_t ID_INFO = 0x1549A966;
constexpr std::uint32_t ID_TIMESTAMP_SCALE = 0x2AD7B1;
constexpr std::uint32_t ID_TRACKS = 0x1654AE6B;
constexpr std::uint32_t ID_TRACK_ENTRY = 0xAE;
constexpr std::uint32_t ID_TRACK_UID = 0x73C5;
constexpr std::uint32_t ID_TAGS = 0x1254C367;
constexpr std::uint32_t ID_TAG = 0x7373;
constexpr std::uint32_t ID_TARGETS = 0x63C0;
constexpr std::uint32_t ID_TAG_TRACK_UID = 0x63C5;
constexpr std::uint32_t ID_SIMPLE_TAG = 0x67C8;
constexpr std::uint32_t ID_TAG_NAME = 0x45A3;
constexpr std::uint32_t ID_TAG_STRING = 0x4487;
constexpr std::uint32_t ID_CLUSTER = 0x1F43B675;

struct EbmlElement {
    std::uint32_t id = 0;
    std::int64_t data = 0;  ///< offset of the element's data
    std::int64_t size = 0;  ///< -1 when the size is unknown
};

/// Minimal EBML reading over a file descriptor, enough to find the few
/// elements the writer rewrites.
class EbmlFile {
  public:
    explicit EbmlFile(int fd) : _fd(fd) {
        struct stat st {};
        _size = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    }
    std::int64_t size() const { return _size; }

    bool read(std::int64_t pos, void* out, std::size_t n) const {
        return ::pread(_fd, out, n, pos) == static_cast<ssize_t>(n);
    }
    void write(std::int64_t pos, const void* data, std::size_t n) const {
        if (::pwrite(_fd, data, n, pos) != static_cast<ssize_t>(n))
            throw RuntimeError(
                fmt::format("rewriting recording header failed: {}", std::strerror(errno)));
    }

    /// Reads the element header at `pos`; absent at the end or on garbage.
    std::optional<EbmlElement> element_at(std::int64_t pos) const {
        std::uint8_t b[8];
        if (!read(pos, b, 1)) return std::nullopt;
        int id_len = vint_length(b[0]);
        if (id_len == 0 || id_len > 4 || !read(pos, b, static_cast<std::size_t>(id_len)))
            return std::nullopt;
        EbmlElement e;
        for (int i = 0; i < id_len; ++i) e.id = (e.id << 8) | b[i];
        pos += id_len;
        if (!read(pos, b, 1)) return std::nullopt;
        const int size_len = vint_length(b[0]);
        if (size_len == 0 || !read(pos, b, static_cast<std::size_t>(size_len))) return std::nullopt;
        std::uint64_t value = b[0] & (0xFFu >> size_len);
        bool all_ones = value == (0xFFu >> size_len);
        for (int i = 1; i < size_len; ++i) {
            value = (value << 8) | b[i];
            all_ones = all_ones && b[i] == 0xFF;
        }
        e.data = pos + size_len;
        e.size = all_ones ? -1 : static_cast<std::int64_t>(value);
        return e;
    }

    /// Children of the element spanning [begin, end); stops at an element of
    /// unknown size (its end cannot be known) after listing it.
    std::vector<EbmlElement> children(std::int64_t begin, std::int64_t end) const {
        std::vector<EbmlElement> out;
        std::int64_t pos = begin;
        while (pos < end) {
            auto e = element_at(pos);
            if (!e) break;
            out.push_back(*e);
            if (e->size < 0) break;
            pos = e->data + e->size;
        }
        return out;
    }

    std::uint64_t read_uint(const EbmlElement& e) const {
        std::uint8_t b[8] = {};
        if (e.size < 0 || e.size > 8 || !read(e.data, b, static_cast<std::size_t>(e.size)))
            return 0;
        std::uint64_t value = 0;
        for (std::int64_t i = 0; i < e.size; ++i) value = (value << 8) | b[i];
        return value;
    }

    std::string read_string(const EbmlElement& e) const {
        if (e.size <= 0 || e.size > 4096) return {};
        std::string s(static_cast<std::size_t>(e.size), '\0');
        if (!read(e.data, s.data(), s.size())) return {};
        return s.substr(0, s.find('\0'));
    }

    std::int64_t end_of(const EbmlElement& e) const {
        return e.size < 0 ? _size : std::min(_size, e.data + e.size);
    }

    /// The children of the file's Segment, clusters left out.
    std::vector<EbmlElement> segment_children() const {
        for (const auto& top : children(0, _size)) {
            if (top.id != ID_SEGMENT) continue;
            std::vector<EbmlElement> out;
            for (const auto& child : children(top.data, end_of(top)))
                if (child.id != ID_CLUSTER) out.push_back(child);
            return out;
        }
        return {};
    }

  private:
    static int vint_length(std::uint8_t first) {
        for (int i = 0; i < 8; ++i)
            if (first & (0x80u >> i)) return i + 1;
        return 0;
    }

    int _fd;
    std::int64_t _size = 0;
};

std::string duration_text(std::int64_t us) {
    const double seconds = static_cast<double>(us) / 1e6;
    const auto whole = static_cast<long long>(seconds);
    return fmt::format("{:02d}:{:02d}:{:012.9f}", whole / 3600, (whole / 60) % 60,
                       std::fmod(seconds, 60.0));
}

void fsync_parent_dir(const std::string& path) {
    const auto parent = std::filesystem::absolute(path).parent_path();
    const int dir = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);  // best effort: makes the new file's name durable
    ::close(dir);
}

}  // namespace

MatroskaWriter::MatroskaWriter(MatroskaWriterConfig config) : _packet(make_packet()) {
    _frame_duration_us =
        config.fps > 0 ? static_cast<std::int64_t>(std::llround(1e6 / config.fps)) : 0;

    AVFormatContext* raw = nullptr;
    check_av(avformat_alloc_output_context2(&raw, nullptr, "matroska", nullptr),
             "cannot create Matroska muxer");
    _context.reset(raw);

    auto add_stream = [&]() {
        AVStream* st = avformat_new_stream(_context.get(), nullptr);
        if (!st) throw RuntimeError("avformat_new_stream failed");
        return st;
    };
    AVStream* video = add_stream();
    video->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codecpar->width = config.width;
    video->codecpar->height = config.height;
    if (config.fourcc == "YUYV") {
        video->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
        video->codecpar->codec_tag = MKTAG('Y', 'U', 'Y', '2');
        video->codecpar->format = AV_PIX_FMT_YUYV422;
    } else {
        video->codecpar->codec_id = AV_CODEC_ID_MJPEG;
        video->codecpar->format = AV_PIX_FMT_YUVJ422P;
    }
    if (config.fps > 0) video->avg_frame_rate = av_d2q(config.fps, 1001000);
    video->time_base = AVRational{1, 1000};
    video->disposition = AV_DISPOSITION_DEFAULT;

    for (const char* title : {"calibration", "camera_state"}) {
        AVStream* st = add_stream();
        st->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        st->codecpar->codec_id = AV_CODEC_ID_SUBRIP;  // S_TEXT/UTF8: blocks are the raw text
        st->time_base = AVRational{1, 1000};
        av_dict_set(&st->metadata, "title", title, 0);
        av_dict_set(&st->metadata, "language", "und", 0);
    }

    if (!config.camera_info_json.empty()) {
        AVStream* st = add_stream();
        st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
        const auto size = config.camera_info_json.size();
        st->codecpar->extradata =
            static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!st->codecpar->extradata) throw RuntimeError("out of memory for the attachment");
        std::memcpy(st->codecpar->extradata, config.camera_info_json.data(), size);
        st->codecpar->extradata_size = static_cast<int>(size);
        av_dict_set(&st->metadata, "filename", "camera_info.json", 0);
        av_dict_set(&st->metadata, "mimetype", "application/json", 0);
    }

    _fd = ::open(config.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (_fd < 0)
        throw RuntimeError(
            fmt::format("cannot create recording {}: {}", config.path, std::strerror(errno)));
    fsync_parent_dir(config.path);

    auto* buffer = static_cast<std::uint8_t*>(av_malloc(IO_BUFFER_SIZE));
    if (!buffer) {
        close_file();
        throw RuntimeError("out of memory for the recording buffer");
    }
#if LIBAVFORMAT_VERSION_MAJOR >= 61
    auto write = &MatroskaWriter::write_cb;
#else
    auto write = [](void* opaque, std::uint8_t* buf, int size) {
        return MatroskaWriter::write_cb(opaque, buf, size);
    };
#endif
    _io.reset(avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, this, nullptr, write,
                                 &MatroskaWriter::seek_cb));
    if (!_io) {
        av_free(buffer);
        close_file();
        throw RuntimeError("avio_alloc_context failed");
    }
    _context->pb = _io.get();
    _context->flags |= AVFMT_FLAG_CUSTOM_IO;
}

MatroskaWriter::~MatroskaWriter() {
    release();
}

int MatroskaWriter::write_cb(void* opaque, const std::uint8_t* buf, int size) {
    auto* self = static_cast<MatroskaWriter*>(opaque);
    std::vector<std::uint8_t> patched;
    const std::int64_t scale_end =
        self->_scale_offset + static_cast<std::int64_t>(self->_scale_bytes.size());
    if (self->_scale_offset >= 0 && self->_position < scale_end &&
        self->_position + size > self->_scale_offset) {
        // A rewrite of the Info element: keep our timestamp scale in it.
        patched.assign(buf, buf + size);
        for (std::int64_t off = std::max(self->_position, self->_scale_offset);
             off < std::min(self->_position + size, scale_end); ++off)
            patched[static_cast<std::size_t>(off - self->_position)] =
                self->_scale_bytes[static_cast<std::size_t>(off - self->_scale_offset)];
        buf = patched.data();
    }
    int done = 0;
    while (done < size) {
        const ssize_t n =
            ::pwrite(self->_fd, buf + done, static_cast<std::size_t>(size - done), self->_position);
        if (n < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);
        }
        if (n == 0) return AVERROR(EIO);
        done += static_cast<int>(n);
        self->_position += n;
        self->_file_size = std::max(self->_file_size, self->_position);
    }
    return done;
}

std::int64_t MatroskaWriter::seek_cb(void* opaque, std::int64_t offset, int whence) {
    auto* self = static_cast<MatroskaWriter*>(opaque);
    if (whence & AVSEEK_SIZE) return self->_file_size;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            offset += self->_position;
            break;
        case SEEK_END:
            offset += self->_file_size;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    self->_position = offset;
    return offset;
}

void MatroskaWriter::write_header(const std::vector<std::pair<std::string, std::string>>& tags) {
    if (_header_written) throw RuntimeError("recording header already written");
    for (const auto& [name, value] : tags)
        av_dict_set(&_context->metadata, name.c_str(), value.c_str(), 0);
    AVDictionary* opts = nullptr;
    // The timestamp-scale rewrite would break the muxer's CRC-32 of the Info element.
    av_dict_set(&opts, "write_crc32", "0", 0);
    const int ret = avformat_write_header(_context.get(), &opts);
    const DictionaryPtr unused_options(opts);  // what the muxer did not take
    check_av(ret, "writing the recording header failed");
    avio_flush(_context->pb);
    check_av(_context->pb->error, "writing the recording header failed");
    _header_written = true;
    patch_timestamps();
}

void MatroskaWriter::write_packet(int stream_index, const std::uint8_t* data, std::size_t size,
                                  std::int64_t rel_us, std::int64_t duration_us) {
    if (!_header_written || _finished) throw RuntimeError("recording is not open for writing");
    AVPacket* pkt = _packet.get();
    av_packet_unref(pkt);
    pkt->data = const_cast<std::uint8_t*>(data);  // the muxer only reads a packet it does not own
    pkt->size = static_cast<int>(size);
    pkt->stream_index = stream_index;
    pkt->pts = rel_us;
    pkt->dts = rel_us;
    pkt->duration = duration_us;
    pkt->flags = AV_PKT_FLAG_KEY;
    int ret = av_write_frame(_context.get(), pkt);
    pkt->data = nullptr;
    pkt->size = 0;
    check_av(ret, "writing a recording packet failed");
    // End the cluster now and hand it to the kernel: a killed process keeps it.
    check_av(av_write_frame(_context.get(), nullptr), "closing a recording cluster failed");
    avio_flush(_context->pb);
    check_av(_context->pb->error, "writing the recording failed");
    auto& end = _track_end_us[static_cast<std::size_t>(stream_index)];
    end = std::max(end, rel_us + duration_us);
}

void MatroskaWriter::write_video(const std::uint8_t* data, std::size_t size, std::int64_t rel_us) {
    write_packet(static_cast<int>(MkvTrack::video), data, size, rel_us, _frame_duration_us);
}

void MatroskaWriter::write_event(MkvTrack track, const std::string& text, std::int64_t rel_us) {
    write_packet(static_cast<int>(track), reinterpret_cast<const std::uint8_t*>(text.data()),
                 text.size(), rel_us, 0);
}

void MatroskaWriter::sync() {
    if (_fd >= 0 && ::fdatasync(_fd) != 0)
        throw RuntimeError(fmt::format("syncing the recording failed: {}", std::strerror(errno)));
}

void MatroskaWriter::finish() {
    if (_finished) return;
    if (!_header_written) throw RuntimeError("recording header was not written");
    check_av(av_write_trailer(_context.get()), "finishing the recording failed");
    avio_flush(_context->pb);
    check_av(_context->pb->error, "finishing the recording failed");
    _finished = true;
    patch_timestamps();
    if (::fsync(_fd) != 0)
        throw RuntimeError(fmt::format("syncing the recording failed: {}", std::strerror(errno)));
    release();
}

void MatroskaWriter::abandon() noexcept {
    release();
    _finished = true;
}

void MatroskaWriter::release() noexcept {
    if (_context) _context->pb = nullptr;  // ours, not the muxer's to close
    _context.reset();
    _io.reset();
    close_file();
}

void MatroskaWriter::close_file() noexcept {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
}

void MatroskaWriter::patch_timestamps() {
    const EbmlFile file(_fd);
    const auto segment = file.segment_children();
    bool scale_done = false;
    std::vector<std::uint64_t> track_uids;
    for (const auto& e : segment) {
        if (e.id == ID_INFO) {
            for (const auto& c : file.children(e.data, file.end_of(e))) {
                if (c.id != ID_TIMESTAMP_SCALE) continue;
                if (c.size < 2 || c.size > 8)
                    throw RuntimeError("unexpected TimestampScale element in the recording");
                std::uint8_t value[8] = {};
                std::uint64_t v = TIMESTAMP_SCALE_NS;
                for (std::int64_t i = c.size - 1; i >= 0; --i, v >>= 8)
                    value[i] = static_cast<std::uint8_t>(v & 0xFF);
                file.write(c.data, value, static_cast<std::size_t>(c.size));
                _scale_offset = c.data;
                _scale_bytes.assign(value, value + c.size);
                scale_done = true;
            }
        } else if (e.id == ID_TRACKS) {
            for (const auto& entry : file.children(e.data, file.end_of(e))) {
                if (entry.id != ID_TRACK_ENTRY) continue;
                for (const auto& c : file.children(entry.data, file.end_of(entry)))
                    if (c.id == ID_TRACK_UID) track_uids.push_back(file.read_uint(c));
            }
        }
    }
    if (!scale_done) throw RuntimeError("recording header has no TimestampScale element");
    if (!_finished) return;

    // The muxer's per-track DURATION tags: rewrite them from our own track ends.
    for (const auto& e : segment) {
        if (e.id != ID_TAGS) continue;
        for (const auto& tag : file.children(e.data, file.end_of(e))) {
            if (tag.id != ID_TAG) continue;
            std::optional<std::size_t> track;
            std::vector<EbmlElement> simple_tags;
            for (const auto& c : file.children(tag.data, file.end_of(tag))) {
                if (c.id == ID_TARGETS) {
                    for (const auto& t : file.children(c.data, file.end_of(c))) {
                        if (t.id != ID_TAG_TRACK_UID) continue;
                        const auto uid = file.read_uint(t);
                        for (std::size_t i = 0; i < track_uids.size(); ++i)
                            if (track_uids[i] == uid) track = i;
                    }
                } else if (c.id == ID_SIMPLE_TAG) {
                    simple_tags.push_back(c);
                }
            }
            if (!track || *track >= _track_end_us.size()) continue;
            for (const auto& simple : simple_tags) {
                std::optional<EbmlElement> name, value;
                for (const auto& c : file.children(simple.data, file.end_of(simple))) {
                    if (c.id == ID_TAG_NAME) name = c;
                    if (c.id == ID_TAG_STRING) value = c;
                }
                if (!name || !value || file.read_string(*name) != "DURATION") continue;
                std::string text = duration_text(_track_end_us[*track]);
                if (text.size() > static_cast<std::size_t>(value->size)) continue;
                text.resize(static_cast<std::size_t>(value->size), '\0');
                file.write(value->data, text.data(), text.size());
            }
        }
    }
}

}  // namespace kelvo::detail
