#include "pipeline/recorder/recording_timeline.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <string_view>

#include "kelvo/log.hpp"

namespace kelvo::detail {
namespace {

// Frame rates a camera can have. A source's rate outside them (metadata of a
// broken or hostile recording) is not used for timing: the spacing of the
// frames themselves is.
constexpr double MIN_TIMING_FPS = 0.1;
constexpr double MAX_TIMING_FPS = 1000.0;
constexpr std::int64_t DEFAULT_FRAME_INTERVAL_US = 33'333;

}  // namespace

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (!__builtin_add_overflow(a, b, &out)) return out;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (!__builtin_sub_overflow(a, b, &out)) return out;
    return b < 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

std::optional<double> fps_from_slug(const std::string& slug) {
    const auto at = slug.find('@');
    if (at == std::string::npos) return std::nullopt;
    const auto dash = slug.find('-', at);
    const std::string_view text =
        std::string_view(slug).substr(at + 1, dash == std::string::npos ? dash : dash - at - 1);
    double fps = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fps);
    if (ec == std::errc() && end == text.data() + text.size() && fps > 0 && std::isfinite(fps))
        return fps;
    return std::nullopt;
}

namespace {

/// A source clock's reading at its pts 0 moved on by `origin_pts_us`, or
/// absent when the provider has none, fails or the sum does not fit.
std::optional<std::int64_t> moved_origin(
    const std::function<std::optional<std::int64_t>()>& provider, std::int64_t origin_pts_us,
    const char* what, spdlog::logger& log) {
    if (!provider) return std::nullopt;
    try {
        const auto source_t0 = provider();
        if (!source_t0) return std::nullopt;
        std::int64_t offset_ns = 0;
        std::int64_t t0 = 0;
        if (!__builtin_mul_overflow(origin_pts_us, std::int64_t{1000}, &offset_ns) &&
            !__builtin_add_overflow(*source_t0, offset_ns, &t0)) {
            return t0;
        }
        log_printf(log, spdlog::level::warn,
                   "recorder: the source's time origin %d ns plus %d us does not fit a clock "
                   "reading; using this host's",
                   *source_t0, origin_pts_us);
    } catch (const std::exception&) {
        log_exception(log, std::string("recorder: ") + what + " failed (non-fatal)");
    }
    return std::nullopt;
}

}  // namespace

RecordingClocks recording_clocks(const MkvRecorderOptions& options, std::int64_t origin_pts_us,
                                 std::int64_t host_steady_ns, std::int64_t host_wall_ns,
                                 spdlog::logger& log) {
    // The source's origin is its pts 0; ours is the first recorded frame.
    return RecordingClocks{
        .monotonic_ns = moved_origin(options.t0_monotonic_ns_provider, origin_pts_us,
                                     "t0_monotonic_ns_provider", log)
                            .value_or(host_steady_ns),
        .unix_epoch_ns =
            moved_origin(options.t0_utc_ns_provider, origin_pts_us, "t0_utc_ns_provider", log)
                .value_or(host_wall_ns),
    };
}

RecordingTimeline::RecordingTimeline(double fps) {
    if (fps >= MIN_TIMING_FPS && fps <= MAX_TIMING_FPS)
        _frame_interval_us = std::max<std::int64_t>(1, std::llround(1e6 / fps));
}

RecordingTimeline::Placed RecordingTimeline::place_frame(std::int64_t pts_us) {
    if (!_any_frame) {
        _any_frame = true;
        _origin_pts_us = pts_us;
        _last_video_rel = 0;
        return {.rel_us = 0, .went_back = false, .last_pts_us = pts_us};
    }
    Placed out{.rel_us = saturating_sub(pts_us, _origin_pts_us),
               .went_back = false,
               .last_pts_us = last_frame_pts_us()};
    if (out.rel_us > _last_video_rel) {
        _measured_interval_us = out.rel_us - _last_video_rel;
    } else {
        // Source time went back (a loop or a seek back): carry on one frame later.
        const std::int64_t step =
            _frame_interval_us.value_or(_measured_interval_us.value_or(DEFAULT_FRAME_INTERVAL_US));
        out.rel_us = saturating_add(_last_video_rel, step);
        out.went_back = true;
        _origin_pts_us = saturating_sub(pts_us, out.rel_us);
    }
    _last_video_rel = out.rel_us;
    return out;
}

std::int64_t RecordingTimeline::place_event(MkvTrack track, std::int64_t pts_us) {
    auto& last = _last_event_rel[static_cast<std::size_t>(track)];
    // Events before the first frame hold from the start; an event timed
    // before the previous one of its track cannot go back in the file.
    last = std::max({std::int64_t{0}, saturating_sub(pts_us, _origin_pts_us), last});
    return last;
}

}  // namespace kelvo::detail
