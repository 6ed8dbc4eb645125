// Playback of a recording from the page: play, pause, exact steps and seeks
// through the replay's frame index, rate and loop, and showing the frame on
// display again after a change that alters what it computes to.
#include <algorithm>

#include "kelvo/errors.hpp"
#include "viewer/json_fields.hpp"
#include "viewer/viewer_session_state.hpp"

namespace kelvo {
namespace detail {

MkvReplay& ViewerSessionState::require_replay() const {
    if (!replay) throw std::invalid_argument("playback commands need a recording");
    return *replay;
}

std::int64_t ViewerSessionState::frame_count() const {
    return replay ? std::ssize(replay->frame_index()) : 0;
}

void ViewerSessionState::show_frame(std::int64_t idx) {
    MkvReplay& r = require_replay();
    const auto n = frame_count();
    if (n == 0) throw RuntimeError("the recording has no frame index");
    r.seek_to_frame(std::clamp<std::int64_t>(idx, 0, n - 1));
}

void ViewerSessionState::refresh() {
    if (!replay || !(replay->is_paused() || replay->at_end())) return;
    if (const auto idx = shown_index()) show_frame(*idx);
}

}  // namespace detail

void ViewerSession::playback(const Json& command) {
    auto& st = *_state;
    const detail::JsonFields fields(command, "playback command");
    const std::string action = fields.string("action");
    MkvReplay& r = st.require_replay();
    if (action == "play") {
        if (r.at_end()) st.show_frame(0);
        r.resume();
    } else if (action == "pause") {
        r.pause();
    } else if (action == "step_forward" || action == "step_back") {
        r.pause();
        const int delta = action == "step_forward" ? 1 : -1;
        if (const auto idx = st.shown_index()) {
            st.show_frame(*idx + delta);
        } else if (delta > 0) {
            r.step_one_forward();
        } else {
            r.step_one_backward();
        }
    } else if (action == "seek") {
        const auto n = st.frame_count();
        const auto frame = fields.integer("frame", 0, std::max<std::int64_t>(n - 1, 0));
        st.show_frame(frame);
    } else if (action == "rate") {
        r.set_playback_rate(fields.number("rate", MIN_PLAYBACK_RATE, MAX_PLAYBACK_RATE));
    } else if (action == "loop") {
        const bool loop = fields.boolean("loop");
        r.set_loop(loop);
        // The replay loops at its next end; one that already ended starts over now.
        if (loop && r.at_end() && st.frame_count() > 0) {
            st.show_frame(0);
            r.resume();
        }
    } else {
        throw std::invalid_argument("unknown playback action " + repr(action) +
                                    " (play, pause, step_forward, step_back, seek, rate or loop)");
    }
}

}  // namespace kelvo
