// Recording time: where each frame and event of a source lands in the file.
// Times are microseconds from the first recorded frame and never go back,
// whatever the source's own clock does (loops, seeks, hostile metadata).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "kelvo/pipeline/recorder.hpp"
#include "pipeline/recorder/matroska_writer.hpp"

namespace spdlog {
class logger;
}

namespace kelvo::detail {

std::int64_t saturating_add(std::int64_t a, std::int64_t b);
std::int64_t saturating_sub(std::int64_t a, std::int64_t b);

/// The frame rate of a mode slug "<w>x<h>@<fps>-<FOURCC>", if it has one
/// (read the same in every locale).
std::optional<double> fps_from_slug(const std::string& slug);

/// The clock readings at recording time 0, as the header tags carry them.
struct RecordingClocks {
    std::int64_t monotonic_ns;
    std::int64_t unix_epoch_ns;
};
/// The source's time origins (its providers) moved to the first recorded
/// frame, `origin_pts_us` in source time; this host's readings at the first
/// feed where a provider has none, fails, or gives a reading that does not
/// fit (logged on `log`).
RecordingClocks recording_clocks(const MkvRecorderOptions& options, std::int64_t origin_pts_us,
                                 std::int64_t host_steady_ns, std::int64_t host_wall_ns,
                                 spdlog::logger& log);

class RecordingTimeline {
  public:
    /// `fps`: the source's frame rate, used to step over a jump back in
    /// source time when it is a camera's rate (else the frames' own spacing).
    explicit RecordingTimeline(double fps);

    bool uses_fps() const { return _frame_interval_us.has_value(); }

    /// The source time recording time 0 stands for.
    std::int64_t origin_pts_us() const { return _origin_pts_us; }
    void set_origin(std::int64_t pts_us) { _origin_pts_us = pts_us; }

    struct Placed {
        std::int64_t rel_us;       ///< recording time of the frame
        bool went_back = false;    ///< source time went back; carried on one frame later
        std::int64_t last_pts_us;  ///< source time of the previous frame (when went_back)
    };
    /// The recording time of the next frame, `pts_us` in source time; the
    /// first frame sets the origin.
    Placed place_frame(std::int64_t pts_us);
    /// The recording time of an event of `track`: not before 0 nor before
    /// the track's previous event.
    std::int64_t place_event(MkvTrack track, std::int64_t pts_us);

    /// The recording time of the last frame, and its source time.
    std::int64_t last_frame_rel_us() const { return _last_video_rel; }
    std::int64_t last_frame_pts_us() const {
        return saturating_add(_last_video_rel, _origin_pts_us);
    }

  private:
    std::optional<std::int64_t> _frame_interval_us;     ///< from a camera's frame rate
    std::optional<std::int64_t> _measured_interval_us;  ///< the last spacing in time order
    std::int64_t _origin_pts_us = 0;
    std::int64_t _last_video_rel = 0;
    bool _any_frame = false;
    std::array<std::int64_t, 3> _last_event_rel{0, 0, 0};
};

}  // namespace kelvo::detail
