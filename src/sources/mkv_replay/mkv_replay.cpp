// MkvReplay: replays a recording as a frame source.
//
// States: constructed (base calibration preloaded) -> open (container held;
// in "realtime" mode the pump runs) -> closed. All state lives in a shared
// MkvReplayState that the pump thread keeps alive, so a pump that outlives
// close() (a blocking fan-out callback) never touches freed memory.
#include "kelvo/sources/mkv_replay.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "core/small_util.hpp"
#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/event.hpp"
#include "kelvo/log.hpp"
#include "sources/mkv_replay/mkv_readers.hpp"

namespace kelvo {
namespace detail {
namespace {

constexpr std::int64_t ABSENT = INT64_MIN;
constexpr std::size_t CALIBRATION_CACHE_LIMIT = 16;
constexpr double PUMP_WAIT_S = 0.05;
constexpr double PACE_MAX_SLEEP_S = 0.5;
constexpr double PACE_THRESHOLD_S = 0.001;
constexpr double CLOSE_JOIN_S = 2.0;

std::string modes_text() {
    std::string out = "(";
    for (std::size_t i = 0; i < VALID_REPLAY_MODES.size(); ++i) {
        if (i) out += ", ";
        out += repr(VALID_REPLAY_MODES[i]);
    }
    return out + ")";
}

std::optional<std::string> nonempty_string(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    std::string value = it->get<std::string>();
    if (value.empty()) return std::nullopt;
    return value;
}

/// Index of the last history entry whose time is at or before `pts_us`.
std::optional<std::size_t> entry_at(const History& history, std::int64_t pts_us) {
    std::optional<std::size_t> chosen;
    for (std::size_t i = 0; i < history.size(); ++i) {
        if (history[i].first > pts_us) break;
        chosen = i;
    }
    return chosen;
}

}  // namespace

struct MkvReplayState {
    // Constant after construction.
    std::string path;
    bool realtime = true;
    bool loop = false;
    bool build_frame_index = true;
    std::shared_ptr<spdlog::logger> logger;
    std::shared_ptr<const MkvInputOpener> opener;
    std::optional<Json> embedded_camera_info;
    CalibrationPtr base_calibration;

    // Written by open() before the pump starts; constant while open.
    std::string fourcc = "MJPG";
    std::int64_t duration_us = 0;
    std::int64_t t0_monotonic_ns = 0;
    std::int64_t t0_utc_ns = 0;
    std::string clock_domain = "linux_monotonic";
    std::string mode_slug;
    std::optional<CameraInfo> info;
    History cal_history;
    History camera_state_history;
    std::optional<Json> embedded_camera_controls;
    std::vector<std::int64_t> frame_pts;
    std::vector<std::string> attachment_names;
    int stream_index = -1;
    AVRational stream_time_base{0, 1};
    bool opened_once = false;

    // Guarded by pump_state_lock: the container, and every read and seek on it.
    std::mutex pump_state_lock;
    ReplayInput container;
    std::atomic<bool> is_open{false};
    std::atomic<std::int64_t> demux_generation{0};

    // Guarded by frame_mutex: the hand-over slot and the counters.
    std::mutex frame_mutex;
    std::condition_variable frame_cv;
    std::condition_variable exit_cv;
    FramePtr latest_frame;
    std::int64_t frames_grabbed = 0;
    std::int64_t frames_dropped = 0;
    bool pump_exited = false;

    // Atomic: written by the pump and by seeks/steps on caller threads.
    std::atomic<std::int64_t> sequence{0};
    std::atomic<std::int64_t> current_idx{-1};
    std::atomic<bool> paused{false};
    std::atomic<bool> emit_one_after_seek{false};
    std::atomic<std::int64_t> pace_t0_wall_ns{ABSENT};
    std::atomic<std::int64_t> pace_t0_pts_us{ABSENT};
    Event pump_stop;

    // Guarded by calibration_mutex: active calibration and its cache.
    mutable std::mutex calibration_mutex;
    CalibrationPtr active_calibration;
    std::map<std::size_t, CalibrationPtr> patch_calibration_cache;

    // Guarded by camera_state_mutex. The history entry in force is kept so a
    // frame of the same epoch does not copy the snapshot again.
    mutable std::mutex camera_state_mutex;
    std::shared_ptr<const Json> current_camera_state = std::make_shared<const Json>(Json::object());
    std::int64_t camera_state_entry = -1;

    // Guarded by thread_mutex: the pump thread handle.
    std::mutex thread_mutex;
    std::thread pump_thread;

    // Guarded by owner_mutex: reads the owner's fan-out list; emptied when the
    // owner is destroyed, so a detached pump never reaches a dead object.
    std::mutex owner_mutex;
    std::function<std::vector<FrameCallbackPtr>()> fanout_snapshot;

    void require_open() const {
        if (!is_open.load()) throw RuntimeError("MkvReplay not open");
    }

    void preload_base_calibration();
    void open();
    void close();

    FramePtr packet_to_raw(const AVPacket& packet);
    void advance_calibration_to(std::int64_t pts_us);
    void advance_camera_state_to(std::int64_t pts_us);
    std::vector<CameraControl> list_camera_controls();

    int read_video_packet(AVPacket* packet);
    FramePtr grab_synchronous();
    FramePtr grab_from_pump(double timeout);

    void reposition(std::int64_t pts_us);
    void reset_pacing() {
        pace_t0_wall_ns.store(ABSENT);
        pace_t0_pts_us.store(ABSENT);
    }
    void seek_relative_us(std::int64_t pts_us);
    void seek_to_frame_idx(std::int64_t idx);
    /// What every successful seek ends with: pacing restarts, the histories
    /// move to `pts_us` and the next frame is emitted even while paused.
    void after_seek(std::int64_t pts_us);
    void step_one_forward();
    void step_one_backward();
    void pause();
    void resume();

    static void pump_main(std::shared_ptr<MkvReplayState> self);
    void pump_loop();
    void maybe_pace(std::int64_t pts_us);
    void dispatch_frame(const FramePtr& raw);
    std::pair<std::int64_t, std::int64_t> get_pump_stats();
};

void MkvReplayState::preload_base_calibration() {
    ReplayInput c;
    try {
        c = opener->open(path);
    } catch (...) {
        log_exception(*logger,
                      fmt::sprintf("MkvReplay: cannot open %s for metadata pre-load", path));
        return;
    }
    const auto blobs = _read_attachment_blobs(c.get());
    embedded_camera_info = _parse_attachment_json(blobs, "camera_info.json");
    // A top level other than an object carries no keys to read.
    if (embedded_camera_info && !embedded_camera_info->is_object()) embedded_camera_info.reset();
    if (embedded_camera_info) {
        const auto it = embedded_camera_info->find("base_calibration");
        if (it == embedded_camera_info->end() || !it->is_object()) {
            logger->error("embedded camera_info has no base_calibration block");
        } else {
            try {
                base_calibration = Calibration::from_dict(*it);
            } catch (...) {
                log_exception(*logger, "base calibration failed to deserialize");
                base_calibration.reset();
            }
        }
    }
    std::lock_guard lock(calibration_mutex);
    active_calibration = base_calibration;
}

void MkvReplayState::open() {
    if (opened_once) throw RuntimeError("MkvReplay already opened");
    ReplayInput c = opener->open(path);
    AVFormatContext* ctx = c.get();
    int video = -1;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            video = static_cast<int>(i);
            break;
        }
    }
    if (video < 0) throw RuntimeError("no video track in recording " + repr(path));
    const AVStream* stream = ctx->streams[video];
    if (stream->time_base.num <= 0 || stream->time_base.den <= 0) {
        throw RuntimeError("video track of " + repr(path) + " has no usable time base");
    }
    opened_once = true;
    stream_index = video;
    stream_time_base = stream->time_base;
    fourcc = derive_fourcc(stream);

    const AVDictionary* tags = ctx->metadata;
    t0_monotonic_ns = _int_tag(dict_value(tags, "RECORD_T0_HOST_MONOTONIC_NS"), 0);
    t0_utc_ns = _int_tag(dict_value(tags, "RECORD_T0_UNIX_EPOCH_NS"), 0);
    clock_domain = dict_value(tags, "CAPTURE_CLOCK_DOMAIN").value_or("linux_monotonic");
    const std::string camera_name = dict_value(tags, "CAMERA_NAME").value_or("");
    const std::string camera_serial = dict_value(tags, "CAMERA_SERIAL").value_or("");
    mode_slug = dict_value(tags, "CAPTURE_MODE").value_or("");
    const double fps_target = _float_tag(dict_value(tags, "FPS_TARGET"), 30.0);

    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVStream* st = ctx->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) continue;
        if (auto name = dict_value(st->metadata, "filename")) attachment_names.push_back(*name);
    }

    auto rewind = [&](const char* failure) {
        try {
            check_av(av_seek_frame(ctx, video, us_to_stream_ts(0, stream_time_base),
                                   AVSEEK_FLAG_BACKWARD),
                     "rewind");
            return true;
        } catch (...) {
            log_exception(*logger, failure);
            return false;
        }
    };

    // The subtitle pass reads every video packet anyway, so the frame index is
    // collected in it; a separate pass from the rewound start gives the same
    // list whenever no frame lies before time 0 and the rewind works, and is
    // used otherwise.
    std::vector<std::int64_t> index;
    auto histories = _read_subtitle_tracks(ctx, {"calibration", "camera_state"},
                                           build_frame_index ? &index : nullptr, video);
    cal_history = std::move(histories["calibration"]);
    camera_state_history = std::move(histories["camera_state"]);
    if (!camera_state_history.empty())
        embedded_camera_controls = camera_state_history.front().second;
    const bool rewound = rewind("rewind after subtitle demux failed");
    {
        std::lock_guard lock(calibration_mutex);
        active_calibration = base_calibration;
    }
    if (!camera_state_history.empty()) {
        std::lock_guard lock(camera_state_mutex);
        current_camera_state = std::make_shared<const Json>(camera_state_history.front().second);
        camera_state_entry = 0;
    }
    if (ctx->duration != AV_NOPTS_VALUE) duration_us = ctx->duration;
    if (build_frame_index) {
        const bool exact =
            rewound && (index.empty() || *std::min_element(index.begin(), index.end()) >= 0);
        if (exact) {
            frame_pts = std::move(index);
        } else {
            frame_pts = read_frame_index(ctx, video);
            rewind("rewind after frame-index build failed");
        }
        log_printf(*logger, spdlog::level::info, "indexed %d frames in %s",
                   static_cast<long long>(frame_pts.size()), path);
    }

    CameraInfo ci;
    ci.os_id = path;
    ci.width = std::max(0, stream->codecpar->width);
    ci.height = std::max(0, stream->codecpar->height);
    ci.camera_name =
        camera_name.empty() ? std::filesystem::path(path).filename().string() : camera_name;
    ci.camera_serial = camera_serial;
    // Present only as an object (see preload_base_calibration); an empty one
    // has none of the keys read here.
    if (embedded_camera_info) {
        ci.sku = nonempty_string(*embedded_camera_info, "sku");
        if (auto model = nonempty_string(*embedded_camera_info, "model_name"))
            ci.camera_name = *model;
        for (const char* key : {"serial", "camera_serial", "serial_number"}) {
            if (auto serial = nonempty_string(*embedded_camera_info, key)) {
                ci.camera_serial = *serial;
                break;
            }
        }
    }
    ci.fps = fps_target;
    ci.is_live = false;
    ci.clock_domain = clock_domain;
    info = ci;

    {
        std::lock_guard lock(pump_state_lock);
        container = std::move(c);
        is_open.store(true);
    }
}

void MkvReplayState::close() {
    pump_stop.set();
    {
        std::lock_guard lock(frame_mutex);
        frame_cv.notify_all();
    }
    {
        // The pump checks the stop flag under this lock before every read, so
        // once it is released here the pump never reads the container again.
        std::lock_guard lock(pump_state_lock);
        is_open.store(false);
        container.reset();
    }
    std::thread thread;
    {
        std::lock_guard lock(thread_mutex);
        thread = std::move(pump_thread);
    }
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();  // close() from a fan-out callback: the pump ends on its own
        return;
    }
    bool exited = false;
    {
        std::unique_lock lock(frame_mutex);
        exited = exit_cv.wait_for(lock, std::chrono::duration<double>(CLOSE_JOIN_S),
                                  [this] { return pump_exited; });
    }
    if (exited) {
        thread.join();
    } else {
        thread.detach();  // still in a callback; it holds the state until it ends
    }
}

void MkvReplayState::advance_calibration_to(std::int64_t pts_us) {
    std::lock_guard lock(calibration_mutex);
    const std::optional<std::size_t> chosen = entry_at(cal_history, pts_us);
    if (!chosen) {
        active_calibration = base_calibration;
        return;
    }
    if (auto it = patch_calibration_cache.find(*chosen); it != patch_calibration_cache.end()) {
        active_calibration = it->second;
        return;
    }
    CalibrationPtr built;
    try {
        built = Calibration::from_dict(cal_history[*chosen].second);
    } catch (...) {
        log_exception(*logger, "_advance_calibration_to: from_dict failed");
        return;
    }
    if (patch_calibration_cache.size() > CALIBRATION_CACHE_LIMIT) patch_calibration_cache.clear();
    patch_calibration_cache[*chosen] = built;
    active_calibration = built;
}

void MkvReplayState::advance_camera_state_to(std::int64_t pts_us) {
    const std::optional<std::size_t> entry = entry_at(camera_state_history, pts_us);
    const std::int64_t chosen = entry ? static_cast<std::int64_t>(*entry) : -1;
    std::lock_guard lock(camera_state_mutex);
    if (chosen == camera_state_entry) return;
    current_camera_state = std::make_shared<const Json>(
        chosen >= 0 ? camera_state_history[static_cast<std::size_t>(chosen)].second
                    : Json::object());
    camera_state_entry = chosen;
}

std::vector<CameraControl> MkvReplayState::list_camera_controls() {
    std::vector<CameraControl> out;
    if (!info || !info->sku || info->sku->empty()) return out;
    const auto spec = spec_by_sku(*info->sku);
    if (!spec) return out;
    std::shared_ptr<const Json> state_ptr;
    {
        std::lock_guard lock(camera_state_mutex);
        state_ptr = current_camera_state;
    }
    const Json& state = *state_ptr;
    for (const auto& control : spec->platform_controls()) {
        std::optional<double> value;
        if (state.is_object()) {
            const auto it = state.find(control.name);
            if (it != state.end()) {
                if (it->is_boolean()) {
                    value = it->get<bool>() ? 1.0 : 0.0;
                } else if (it->is_number()) {
                    value = it->get<double>();
                }
            }
        }
        out.push_back(control.with_current_value(value));
    }
    return out;
}

FramePtr MkvReplayState::packet_to_raw(const AVPacket& packet) {
    auto raw = std::make_shared<RawFrame>();
    raw->pts_us = video_pts_us(packet.pts, packet_time_base(packet, stream_time_base));
    if (packet.data && packet.size > 0) raw->payload.assign(packet.data, packet.data + packet.size);
    raw->sequence = sequence.fetch_add(1) + 1;
    advance_calibration_to(raw->pts_us);
    advance_camera_state_to(raw->pts_us);
    std::int64_t idx = current_idx.load();
    if (!frame_pts.empty()) {
        const auto it = std::lower_bound(frame_pts.begin(), frame_pts.end(), raw->pts_us);
        const auto pos = static_cast<std::int64_t>(it - frame_pts.begin());
        if (it != frame_pts.end() && *it == raw->pts_us) {
            idx = pos;
            current_idx.store(idx);
        } else if (pos > 0) {
            idx = pos - 1;
            current_idx.store(idx);
        }
    }
    if (idx >= 0) raw->source_frame_idx = idx;
    return raw;
}

// Reads the next packet of the video stream; 0, AVERROR_EOF, or throws on a
// demuxer error. The caller holds pump_state_lock.
int MkvReplayState::read_video_packet(AVPacket* packet) {
    if (!container) throw RuntimeError("MkvReplay not open");
    while (true) {
        const int ret = av_read_frame(container.get(), packet);
        if (ret == AVERROR_EOF) return ret;
        if (ret == AVERROR(EAGAIN)) continue;
        // The message is built only on failure: this runs once per packet.
        if (ret < 0) throw FfmpegError("reading " + repr(path), ret);
        if (packet->stream_index == stream_index) return 0;
        av_packet_unref(packet);
    }
}

FramePtr MkvReplayState::grab_synchronous() {
    PacketPtr packet = make_packet();
    // A rewind that yields no frame means the file has none: return absent
    // instead of rewinding without end.
    bool rewound_without_frame = false;
    while (true) {
        if (paused.load() && !emit_one_after_seek.load()) {
            std::this_thread::sleep_for(std::chrono::duration<double>(PUMP_WAIT_S));
            return nullptr;
        }
        emit_one_after_seek.store(false);
        bool seen_empty = false;
        for (;;) {
            int ret = 0;
            {
                std::lock_guard lock(pump_state_lock);
                ret = read_video_packet(packet.get());
            }
            if (ret == AVERROR_EOF) break;
            PacketUnref unref{packet.get()};
            if (packet->size <= 0 || packet->pts == AV_NOPTS_VALUE) {
                if (!seen_empty) {
                    seen_empty = true;
                    continue;
                }
                if (!loop || rewound_without_frame) return nullptr;
                seek_relative_us(0);
                rewound_without_frame = true;
                continue;
            }
            return packet_to_raw(*packet);
        }
        if (!loop || rewound_without_frame) return nullptr;
        seek_relative_us(0);
        rewound_without_frame = true;
    }
}

FramePtr MkvReplayState::grab_from_pump(double timeout) {
    std::unique_lock lock(frame_mutex);
    if (!latest_frame && !pump_exited && timeout > 0) {
        frame_cv.wait_for(lock, std::chrono::duration<double>(std::min(timeout, 1e7)));
    }
    FramePtr out = std::move(latest_frame);
    latest_frame.reset();
    return out;
}

void MkvReplayState::reposition(std::int64_t pts_us) {
    const std::int64_t target = us_to_stream_ts(pts_us, stream_time_base);
    std::lock_guard lock(pump_state_lock);
    if (!container) throw RuntimeError("MkvReplay not open");
    check_av(av_seek_frame(container.get(), stream_index, target, AVSEEK_FLAG_BACKWARD),
             "seeking to " + std::to_string(pts_us) + " us");
    demux_generation.fetch_add(1);
    std::lock_guard frame_lock(frame_mutex);
    latest_frame.reset();
}

void MkvReplayState::seek_relative_us(std::int64_t pts_us) {
    require_open();
    try {
        reposition(pts_us);
    } catch (...) {
        log_exception(*logger, "seek failed");
        return;
    }
    after_seek(std::max<std::int64_t>(pts_us, 0));
}

void MkvReplayState::seek_to_frame_idx(std::int64_t idx) {
    const std::int64_t target_pts = frame_pts.at(static_cast<std::size_t>(idx));
    try {
        reposition(target_pts);
    } catch (...) {
        log_exception(*logger, fmt::sprintf("frame-idx seek failed (idx=%d)", idx));
        return;
    }
    current_idx.store(idx);
    after_seek(target_pts);
}

void MkvReplayState::after_seek(std::int64_t pts_us) {
    reset_pacing();
    advance_calibration_to(pts_us);
    advance_camera_state_to(pts_us);
    emit_one_after_seek.store(true);
}

void MkvReplayState::step_one_forward() {
    require_open();
    if (frame_pts.empty()) {
        throw RuntimeError("step_one_forward requires build_frame_index=True at open()");
    }
    const std::int64_t target = current_idx.load() + 1;
    if (target >= static_cast<std::int64_t>(frame_pts.size())) {
        logger->debug("step_one_forward: already at last frame");
        return;
    }
    seek_to_frame_idx(target);
}

void MkvReplayState::step_one_backward() {
    require_open();
    if (frame_pts.empty()) {
        throw RuntimeError("step_one_backward requires build_frame_index=True at open()");
    }
    const std::int64_t current = current_idx.load();
    if (current <= 0) {
        logger->debug("step_one_backward: already at first frame");
        return;
    }
    seek_to_frame_idx(current - 1);
}

void MkvReplayState::pause() {
    paused.store(true);
    std::lock_guard lock(frame_mutex);
    latest_frame.reset();
}

void MkvReplayState::resume() {
    paused.store(false);
    reset_pacing();
}

void MkvReplayState::pump_main(std::shared_ptr<MkvReplayState> self) {
    name_this_thread("kelvo-mkv-pump");
    try {
        self->pump_loop();
    } catch (...) {
        log_exception(*self->logger, "MkvReplay pump thread crashed");
    }
    {
        std::lock_guard lock(self->frame_mutex);
        self->pump_exited = true;
        self->frame_cv.notify_all();
        self->exit_cv.notify_all();
    }
}

void MkvReplayState::pump_loop() {
    PacketPtr packet = make_packet();
    std::int64_t local_generation = -1;
    bool seen_empty = false;
    // A loop rewind that reaches the end again without a frame parks instead
    // of rewinding without end (a file without video packets).
    bool frame_since_rewind = true;
    std::int64_t rewind_generation = -2;

    auto park_until_seek_or_close = [&] {
        const std::int64_t remembered = demux_generation.load();
        while (!pump_stop.is_set() && demux_generation.load() == remembered) {
            pump_stop.wait_for(PUMP_WAIT_S);
        }
    };
    auto end_of_pass = [&] {
        if (loop && frame_since_rewind) {
            frame_since_rewind = false;
            try {
                seek_relative_us(0);
            } catch (const RuntimeError&) {
                if (pump_stop.is_set()) return;  // closed meanwhile: not a crash
                throw;
            }
            rewind_generation = demux_generation.load();
            return;
        }
        paused.store(true);
        park_until_seek_or_close();
    };

    while (!pump_stop.is_set()) {
        if (paused.load() && !emit_one_after_seek.load()) {
            pump_stop.wait_for(PUMP_WAIT_S);
            continue;
        }
        int ret = 0;
        {
            std::lock_guard lock(pump_state_lock);
            if (pump_stop.is_set() || !container) return;
            const std::int64_t generation = demux_generation.load();
            if (generation != local_generation) {
                local_generation = generation;
                seen_empty = false;
                if (generation != rewind_generation) frame_since_rewind = true;
            }
            ret = read_video_packet(packet.get());
        }
        if (ret == AVERROR_EOF) {
            end_of_pass();
            continue;
        }
        PacketUnref unref{packet.get()};
        if (packet->size <= 0 || packet->pts == AV_NOPTS_VALUE) {
            if (!seen_empty) {
                seen_empty = true;
                continue;
            }
            end_of_pass();
            continue;
        }
        const std::int64_t pts_us =
            video_pts_us(packet->pts, packet_time_base(*packet, stream_time_base));
        maybe_pace(pts_us);
        if (pump_stop.is_set()) return;
        if (demux_generation.load() != local_generation) continue;
        while (paused.load() && !emit_one_after_seek.load() && !pump_stop.is_set() &&
               demux_generation.load() == local_generation) {
            pump_stop.wait_for(PUMP_WAIT_S);
        }
        if (pump_stop.is_set()) return;
        if (demux_generation.load() != local_generation) continue;
        FramePtr raw = packet_to_raw(*packet);
        emit_one_after_seek.store(false);
        frame_since_rewind = true;
        dispatch_frame(raw);
    }
}

void MkvReplayState::maybe_pace(std::int64_t pts_us) {
    const std::int64_t now = steady_now_ns();
    const std::int64_t anchor_wall = pace_t0_wall_ns.load();
    if (anchor_wall == ABSENT) {
        pace_t0_wall_ns.store(now);
        pace_t0_pts_us.store(pts_us);
        return;
    }
    const double elapsed = static_cast<double>(now - anchor_wall) / 1e9;
    std::int64_t anchor_pts = pace_t0_pts_us.load();
    if (anchor_pts == ABSENT) anchor_pts = 0;
    const double target_offset = static_cast<double>(pts_us - anchor_pts) / 1e6;
    const double delay = target_offset - elapsed;
    // Waiting on the stop flag rather than sleeping lets close() cut a pacing
    // wait short; seeks still do not.
    if (delay > PACE_THRESHOLD_S) pump_stop.wait_for(std::min(delay, PACE_MAX_SLEEP_S));
}

void MkvReplayState::dispatch_frame(const FramePtr& raw) {
    std::vector<FrameCallbackPtr> callbacks;
    {
        std::lock_guard lock(owner_mutex);
        if (fanout_snapshot) callbacks = fanout_snapshot();
    }
    MkvReplay::_call_fanout(callbacks, raw, *logger);
    std::lock_guard lock(frame_mutex);
    ++frames_grabbed;
    if (latest_frame) ++frames_dropped;
    latest_frame = raw;
    frame_cv.notify_one();
}

std::pair<std::int64_t, std::int64_t> MkvReplayState::get_pump_stats() {
    if (!realtime) return {1, 0};
    std::lock_guard lock(frame_mutex);
    const std::pair<std::int64_t, std::int64_t> out{frames_grabbed, frames_dropped};
    frames_grabbed = 0;
    frames_dropped = 0;
    return out;
}

}  // namespace detail

MkvReplay::MkvReplay(const std::filesystem::path& path, MkvReplayOptions options)
    : MkvReplay(path, std::move(options), nullptr) {}

MkvReplay::MkvReplay(const std::filesystem::path& path, MkvReplayOptions options,
                     std::shared_ptr<const detail::MkvInputOpener> opener) {
    const auto& modes = detail::VALID_REPLAY_MODES;
    if (std::find(modes.begin(), modes.end(), options.replay_mode) == modes.end()) {
        throw std::invalid_argument("replay_mode must be one of " + detail::modes_text() +
                                    "; got " + repr(options.replay_mode));
    }
    _state = std::make_shared<detail::MkvReplayState>();
    auto& st = *_state;
    st.path = path.string();
    st.realtime = options.replay_mode == "realtime";
    st.loop = options.loop;
    st.build_frame_index = options.build_frame_index;
    st.logger = get_logger("kelvo_camera_sdk.mkv_replay");
    if (!opener) {
        auto file_opener = std::make_shared<detail::MkvInputOpener>();
        file_opener->open = detail::open_matroska_file;
        opener = std::move(file_opener);
    }
    st.opener = std::move(opener);
    st.fanout_snapshot = [this] {
        std::lock_guard lock(_fanout_lock);
        return _fanout;
    };
    st.preload_base_calibration();
}

MkvReplay::~MkvReplay() {
    {
        std::lock_guard lock(_state->owner_mutex);
        _state->fanout_snapshot = nullptr;
    }
    _state->close();
}

CameraInfo MkvReplay::open() {
    auto& st = *_state;
    st.open();
    if (st.realtime) {
        // close() before open() set the stop flag; the pump starts at most once.
        st.pump_stop.clear();
        std::lock_guard lock(st.thread_mutex);
        st.pump_thread = std::thread(detail::MkvReplayState::pump_main, _state);
    }
    return *st.info;
}

FramePtr MkvReplay::grab(double timeout) {
    _state->require_open();
    return _state->realtime ? _state->grab_from_pump(timeout) : _state->grab_synchronous();
}

void MkvReplay::close() {
    _state->close();
}

std::pair<std::int64_t, std::int64_t> MkvReplay::get_pump_stats() {
    return _state->get_pump_stats();
}

std::vector<CameraControl> MkvReplay::list_camera_controls() {
    return _state->list_camera_controls();
}

bool MkvReplay::is_paused() const {
    return _state->paused.load();
}
std::string MkvReplay::fourcc() const {
    return _state->fourcc;
}

std::optional<std::string> MkvReplay::mode_slug() const {
    if (_state->mode_slug.empty()) return std::nullopt;
    return _state->mode_slug;
}

CalibrationPtr MkvReplay::base_calibration() const {
    return _state->base_calibration;
}

CalibrationPtr MkvReplay::active_calibration() const {
    std::lock_guard lock(_state->calibration_mutex);
    return _state->active_calibration;
}

std::optional<std::int64_t> MkvReplay::t0_monotonic_ns() const {
    return _state->t0_monotonic_ns;
}
std::int64_t MkvReplay::t0_utc_ns() const {
    return _state->t0_utc_ns;
}
std::string MkvReplay::clock_domain() const {
    return _state->clock_domain;
}
std::int64_t MkvReplay::duration_us() const {
    return _state->duration_us;
}

std::optional<Json> MkvReplay::camera_controls_snapshot() const {
    return _state->embedded_camera_controls;
}

void MkvReplay::pause() {
    _state->pause();
}
void MkvReplay::resume() {
    _state->resume();
}
void MkvReplay::seek_relative_us(std::int64_t pts_us) {
    _state->seek_relative_us(pts_us);
}
void MkvReplay::step_one_forward() {
    _state->step_one_forward();
}
void MkvReplay::step_one_backward() {
    _state->step_one_backward();
}

void MkvReplay::_seek_to_frame_idx(std::int64_t idx) {
    _state->require_open();
    _state->seek_to_frame_idx(idx);
}

std::vector<std::int64_t> MkvReplay::frame_index() const {
    return _state->frame_pts;
}
std::vector<std::pair<std::int64_t, Json>> MkvReplay::calibration_history() const {
    return _state->cal_history;
}
std::vector<std::pair<std::int64_t, Json>> MkvReplay::camera_state_history() const {
    return _state->camera_state_history;
}
std::vector<std::string> MkvReplay::attachment_names() const {
    return _state->attachment_names;
}
std::optional<Json> MkvReplay::embedded_camera_info() const {
    return _state->embedded_camera_info;
}
std::optional<std::int64_t> MkvReplay::current_frame_idx() const {
    const auto idx = _state->current_idx.load();
    if (idx < 0) return std::nullopt;
    return idx;
}

}  // namespace kelvo
