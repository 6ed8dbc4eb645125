// The muxing half of the recorder: one recording file written through
// libavformat's Matroska muxer, in the layout the replay source reads.
// Used by the recorder's writer thread only; not thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/ffmpeg_raii.hpp"

namespace kelvo::detail {

struct MatroskaWriterConfig {
    std::string path;
    std::string fourcc;  ///< "MJPG" or "YUYV"
    int width = 0;
    int height = 0;
    double fps = 30.0;
    /// camera_info.json bytes; no attachment when empty.
    std::string camera_info_json;
};

/// Streams of a recording, in file order.
enum class MkvTrack : int { video = 0, calibration = 1, camera_state = 2 };

/// States: constructed (file created, nothing written) -> header written ->
/// finished. Every write ends its cluster and hands the bytes to the kernel,
/// so a killed process keeps everything written before it died.
///
/// libavformat's Matroska muxer has a fixed 1 ms timestamp scale. Recordings
/// keep microseconds: the muxer is given microsecond values under its
/// millisecond time base and the file's TimestampScale element is rewritten
/// to 1 µs (same width) as soon as the header is on disk. Later writes over
/// that element (the muxer rewrites its Info element with the trailer) are
/// patched on their way to the file, so no moment exists at which the file
/// on disk has the wrong scale. After the trailer the per-track DURATION tags,
/// which the muxer computed in its own unit, are rewritten too. Every
/// timestamp element then means what it says.
class MatroskaWriter {
  public:
    /// Creates (truncates) the file and prepares the streams; RuntimeError
    /// when the file cannot be created.
    explicit MatroskaWriter(MatroskaWriterConfig config);
    ~MatroskaWriter();
    MatroskaWriter(const MatroskaWriter&) = delete;
    MatroskaWriter& operator=(const MatroskaWriter&) = delete;

    /// Writes the header with these global tags (name, value).
    void write_header(const std::vector<std::pair<std::string, std::string>>& tags);
    bool header_written() const { return _header_written; }

    /// One key-frame video packet at recording time `rel_us`.
    void write_video(const std::uint8_t* data, std::size_t size, std::int64_t rel_us);
    /// One subtitle block holding `text` (one JSON document) at `rel_us`.
    void write_event(MkvTrack track, const std::string& text, std::int64_t rel_us);
    /// Flushes the file's data to the storage device.
    void sync();
    /// Writes the cues and the end of the file, syncs and closes it.
    void finish();
    /// Closes the file without finishing it (after a write error).
    void abandon() noexcept;

    /// Size of the file so far.
    std::int64_t bytes() const { return _file_size; }

  private:
    void write_packet(int stream_index, const std::uint8_t* data, std::size_t size,
                      std::int64_t rel_us, std::int64_t duration_us);
    void patch_timestamps();
    /// Frees the muxer and the I/O context, then closes the file.
    void release() noexcept;
    void close_file() noexcept;

    static int write_cb(void* opaque, const std::uint8_t* buf, int size);
    static std::int64_t seek_cb(void* opaque, std::int64_t offset, int whence);

    int _fd = -1;
    std::int64_t _position = 0;
    std::int64_t _file_size = 0;
    OutputContextPtr _context;
    IoContextPtr _io;
    bool _header_written = false;
    bool _finished = false;
    std::int64_t _frame_duration_us = 0;
    std::array<std::int64_t, 3> _track_end_us{0, 0, 0};
    /// Where the TimestampScale value lies in the file and the bytes it must hold.
    std::int64_t _scale_offset = -1;
    std::vector<std::uint8_t> _scale_bytes;
    PacketPtr _packet;
};

}  // namespace kelvo::detail
