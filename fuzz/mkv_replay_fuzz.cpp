// Fuzzes the replay source: arbitrary bytes are read as a recording through
// an in-memory I/O context, then opened, grabbed, sought and stepped.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "kelvo/log.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"

namespace {

struct MemoryFile {
    std::vector<std::uint8_t> bytes;
};

struct Cursor {
    std::shared_ptr<const MemoryFile> file;
    std::int64_t position = 0;
};

int read_packet(void* opaque, std::uint8_t* buffer, int size) {
    auto* cursor = static_cast<Cursor*>(opaque);
    const auto total = static_cast<std::int64_t>(cursor->file->bytes.size());
    if (cursor->position >= total) return AVERROR_EOF;
    const auto n = std::min<std::int64_t>(size, total - cursor->position);
    std::memcpy(buffer, cursor->file->bytes.data() + cursor->position, static_cast<std::size_t>(n));
    cursor->position += n;
    return static_cast<int>(n);
}

std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
    auto* cursor = static_cast<Cursor*>(opaque);
    const auto total = static_cast<std::int64_t>(cursor->file->bytes.size());
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return total;
    std::int64_t target = offset;
    if (whence == SEEK_CUR) target = cursor->position + offset;
    if (whence == SEEK_END) target = total + offset;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return AVERROR(EINVAL);
    if (target < 0) return AVERROR(EINVAL);
    cursor->position = target;
    return target;
}

// Every open (the preload and open() each open once) reads the same bytes
// through its own cursor.
std::shared_ptr<const kelvo::detail::MkvInputOpener> memory_opener(
    std::shared_ptr<const MemoryFile> file) {
    auto opener = std::make_shared<kelvo::detail::MkvInputOpener>();
    opener->open = [file](const std::string& name) {
        auto cursor = std::make_shared<Cursor>(Cursor{file, 0});
        constexpr int buffer_size = 4096;
        auto* buffer = static_cast<std::uint8_t*>(av_malloc(buffer_size));
        if (!buffer) throw kelvo::RuntimeError("av_malloc failed");
        AVIOContext* io =
            avio_alloc_context(buffer, buffer_size, 0, cursor.get(), read_packet, nullptr, seek);
        if (!io) {
            av_free(buffer);
            throw kelvo::RuntimeError("avio_alloc_context failed");
        }
        return kelvo::detail::open_matroska_io(name, cursor, kelvo::detail::IoContextPtr(io));
    };
    return opener;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    kelvo::get_logger("kelvo_camera_sdk.mkv_replay")->set_level(spdlog::level::off);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto file = std::make_shared<MemoryFile>();
    file->bytes.assign(data, data + size);
    const bool loop = size > 0 && (data[0] & 1);
    try {
        kelvo::MkvReplay replay("fuzz.mkv", {.replay_mode = "every_frame", .loop = loop},
                                memory_opener(file));
        (void)replay.base_calibration();
        const kelvo::CameraInfo info = replay.open();
        (void)replay.list_camera_controls();
        for (int i = 0; i < 64; ++i) {
            const kelvo::FramePtr frame = replay.grab();
            if (!frame) break;
            // Frames as the pipeline decodes them: a hostile image is refused, never decoded
            // blindly.
            try {
                (void)replay.decode_to_bgr(frame->payload, info.width, info.height);
            } catch (const std::exception&) {
            }
        }
        replay.seek_relative_us(0);
        (void)replay.grab();
        if (!replay.frame_index().empty()) {
            // A paused grab without a pending step waits 50 ms; only grab after a real step.
            replay.pause();
            replay.step_one_forward();
            (void)replay.grab();
            if (replay.current_frame_idx().value_or(0) > 0) {
                replay.step_one_backward();
                (void)replay.grab();
            }
            replay._seek_to_frame_idx(static_cast<std::int64_t>(replay.frame_index().size()) - 1);
            (void)replay.grab();
        }
        replay.close();
    } catch (const std::exception&) {
        // Bad input is expected to fail with an error, never to crash.
    }
    return 0;
}
