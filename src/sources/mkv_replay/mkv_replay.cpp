// MkvReplay: replays a recording as a frame source.
//
// States: constructed (base calibration preloaded) -> open (container held;
// in "realtime" mode the pump runs) -> closed. The opening is read by
// recording_contents.cpp, frames by replay_demuxer.cpp, the position moved by
// replay_position.cpp and paced by replay_pump.cpp.
#include "kelvo/sources/mkv_replay.hpp"

#include <algorithm>

#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "sources/mkv_replay/mkv_replay_state.hpp"

namespace kelvo {
namespace detail {
namespace {

void check_playback_rate(double rate) {
    if (!(rate >= MIN_PLAYBACK_RATE && rate <= MAX_PLAYBACK_RATE)) {
        throw std::invalid_argument(fmt::format("playback_rate must be within {}..{}; got {}",
                                                MIN_PLAYBACK_RATE, MAX_PLAYBACK_RATE, rate));
    }
}

std::string modes_text() {
    std::string out = "(";
    for (std::size_t i = 0; i < VALID_REPLAY_MODES.size(); ++i) {
        if (i) out += ", ";
        out += repr(VALID_REPLAY_MODES[i]);
    }
    return out + ")";
}

}  // namespace

void MkvReplayState::open() {
    if (opened_once.exchange(true)) throw RuntimeError("MkvReplay already opened");
    try {
        contents = read_recording_contents(opener->open(path).get(), path, embedded.camera_info,
                                           build_frame_index, *logger);
        // Replay starts at the file's beginning: a container of its own
        // rather than a seek, which could land elsewhere in a file whose
        // times are out of order.
        ReplayInput container = opener->open(path);
        {
            MutexLock lock(position_mutex);
            calibration_cursor = HistoryCursor(&contents.calibration_history);
            camera_state_cursor = HistoryCursor(&contents.camera_state_history);
            active_calibration = embedded.base_calibration;
            // Controls at the recording's start are in force before the first frame.
            if (!contents.camera_state_history.empty()) {
                camera_state_cursor = HistoryCursor(&contents.camera_state_history, 0);
                camera_state =
                    std::make_shared<const Json>(contents.camera_state_history.front().second);
            }
        }
        demuxer.attach(std::move(container), path, opener, contents.stream_index,
                       contents.time_base, FrameIndex(contents.frame_pts, contents.frame_pos),
                       logger);
        contents_ready.store(true);
    } catch (...) {
        opened_once.store(false);
        throw;
    }
}

void MkvReplayState::close() {
    signal.request_stop();
    slot.close();  // wakes every grab() waiter
    // The pump reads only under the demuxer's lock and stops at a closed
    // container, so it never touches the released one.
    demuxer.close();
    pump.stop();
}

std::vector<CameraControl> MkvReplayState::list_camera_controls() {
    if (!contents_ready.load()) return {};
    const auto& sku = contents.info.sku;
    if (!sku || sku->empty()) return {};
    const auto spec = spec_by_sku(*sku);
    if (!spec) return {};
    std::shared_ptr<const Json> state;
    {
        MutexLock lock(position_mutex);
        state = camera_state;
    }
    return with_snapshot_values(spec->platform_controls(), *state);
}

void MkvReplayState::seek_relative_us(std::int64_t pts_us) {
    require_open();
    {
        MutexLock lock(position_mutex);
        std::int64_t generation = 0;
        try {
            generation = demuxer.seek_to_time(pts_us, slot);
        } catch (...) {
            log_exception(*logger, "seek failed");
            return;
        }
        moved_to(std::max<std::int64_t>(pts_us, 0), generation);
    }
    signal.notify();
}

void MkvReplayState::seek_to_frame_idx(std::int64_t idx) {
    const std::int64_t target_pts = contents.frame_pts.at(static_cast<std::size_t>(idx));
    {
        MutexLock lock(position_mutex);
        std::int64_t generation = 0;
        try {
            generation = demuxer.seek_to_frame(idx, slot);
        } catch (...) {
            log_exception(*logger, fmt::sprintf("frame-idx seek failed (idx=%d)", idx));
            return;
        }
        current_idx.store(idx);
        moved_to(target_pts, generation);
    }
    signal.notify();
}

void MkvReplayState::step_one_forward() {
    require_open();
    if (contents.frame_pts.empty()) {
        throw RuntimeError("step_one_forward requires build_frame_index=True at open()");
    }
    const std::int64_t target = current_idx.load() + 1;
    if (target >= static_cast<std::int64_t>(contents.frame_pts.size())) {
        logger->debug("step_one_forward: already at last frame");
        return;
    }
    seek_to_frame_idx(target);
}

void MkvReplayState::step_one_backward() {
    require_open();
    if (contents.frame_pts.empty()) {
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
    slot.clear();  // a frame read before the pause is not handed out
}

void MkvReplayState::resume() {
    paused.store(false);
    reset_pacing();
    signal.notify();
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
    detail::check_playback_rate(options.playback_rate);
    _state = std::make_shared<detail::MkvReplayState>();
    auto& st = *_state;
    st.playback_rate.store(options.playback_rate);
    st.path = path.string();
    st.realtime = options.replay_mode == "realtime";
    st.loop.store(options.loop);
    st.build_frame_index = options.build_frame_index;
    st.logger = get_logger("kelvo_camera_sdk.mkv_replay");
    if (!opener) {
        auto file_opener = std::make_shared<detail::MkvInputOpener>();
        file_opener->open = detail::open_matroska_file;
        opener = std::move(file_opener);
    }
    st.opener = std::move(opener);
    st.fanout = _fanout;
    st.embedded = detail::preload_camera_info(*st.opener, st.path, *st.logger);
    MutexLock lock(st.position_mutex);
    st.active_calibration = st.embedded.base_calibration;
}

MkvReplay::~MkvReplay() {
    _state->close();
}

CameraInfo MkvReplay::open() {
    auto& st = *_state;
    st.open();
    if (st.realtime) {
        // The pump holds the state: one left running past close() (a blocking
        // callback) keeps everything it uses alive.
        st.pump.start("kelvo-mkv-pump", [state = _state](const Event&) {
            try {
                state->pump_loop();
            } catch (...) {
                log_exception(*state->logger, "MkvReplay pump thread crashed");
            }
            state->ended.store(true);
            state->slot.close();  // grab() returns at once from now on
        });
    }
    return st.contents.info;
}

FramePtr MkvReplay::grab(double timeout) {
    _state->require_open();
    return _state->realtime ? _state->slot.take(timeout) : _state->grab_synchronous();
}

void MkvReplay::close() {
    _state->close();
}

std::pair<std::int64_t, std::int64_t> MkvReplay::get_pump_stats() {
    if (!_state->realtime) return {1, 0};
    return _state->slot.take_stats();
}

std::vector<CameraControl> MkvReplay::list_camera_controls() {
    return _state->list_camera_controls();
}

bool MkvReplay::has_pump() const {
    return _state->realtime;
}
bool MkvReplay::at_end() const {
    return _state->ended.load();
}
bool MkvReplay::is_paused() const {
    return _state->paused.load();
}
std::string MkvReplay::fourcc() const {
    return _state->contents.fourcc;
}
std::optional<std::string> MkvReplay::mode_slug() const {
    if (_state->contents.mode_slug.empty()) return std::nullopt;
    return _state->contents.mode_slug;
}
CalibrationPtr MkvReplay::base_calibration() const {
    return _state->embedded.base_calibration;
}
CalibrationPtr MkvReplay::active_calibration() const {
    MutexLock lock(_state->position_mutex);
    return _state->active_calibration;
}
std::optional<std::int64_t> MkvReplay::t0_monotonic_ns() const {
    return _state->contents.t0_monotonic_ns;
}
std::int64_t MkvReplay::t0_utc_ns() const {
    return _state->contents.t0_utc_ns;
}
std::string MkvReplay::clock_domain() const {
    return _state->contents.clock_domain;
}
std::int64_t MkvReplay::duration_us() const {
    return _state->contents.duration_us;
}
std::optional<Json> MkvReplay::camera_controls_snapshot() const {
    return _state->contents.camera_controls_snapshot;
}

void MkvReplay::pause() {
    _state->pause();
}
void MkvReplay::resume() {
    _state->resume();
}
void MkvReplay::set_playback_rate(double rate) {
    detail::check_playback_rate(rate);
    _state->playback_rate.store(rate);
    // A new anchor, so the new pace starts from the next frame instead of
    // catching up (or waiting out) the time run at the old one.
    _state->reset_pacing();
    _state->signal.notify();
}
double MkvReplay::playback_rate() const {
    return _state->playback_rate.load();
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
void MkvReplay::set_loop(bool loop) {
    _state->loop.store(loop);
}
bool MkvReplay::loop() const {
    return _state->loop.load();
}
void MkvReplay::seek_to_frame(std::int64_t idx) {
    auto& st = *_state;
    st.require_open();
    const auto count = std::ssize(st.contents.frame_pts);
    if (count == 0) throw RuntimeError("seek_to_frame requires build_frame_index=True at open()");
    if (idx < 0 || idx >= count) {
        throw std::invalid_argument(
            fmt::format("frame {} is outside the recording's frames 0..{}", idx, count - 1));
    }
    st.seek_to_frame_idx(idx);
}
void MkvReplay::_seek_to_frame_idx(std::int64_t idx) {
    _state->require_open();
    _state->seek_to_frame_idx(idx);
}
void MkvReplay::_set_pump_hook(std::function<void(std::string_view)> hook) {
    _state->pump_hook = std::move(hook);
}

std::vector<std::int64_t> MkvReplay::frame_index() const {
    return _state->contents.frame_pts;
}
std::vector<std::pair<std::int64_t, Json>> MkvReplay::calibration_history() const {
    return _state->contents.calibration_history;
}
std::vector<std::pair<std::int64_t, Json>> MkvReplay::camera_state_history() const {
    return _state->contents.camera_state_history;
}
std::vector<std::string> MkvReplay::attachment_names() const {
    return _state->contents.attachment_names;
}
std::optional<Json> MkvReplay::embedded_camera_info() const {
    return _state->embedded.camera_info;
}
std::optional<std::int64_t> MkvReplay::current_frame_idx() const {
    const auto idx = _state->current_idx.load();
    if (idx < 0) return std::nullopt;
    return idx;
}

}  // namespace kelvo
