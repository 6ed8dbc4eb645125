// A recording seen through the frame range a user asked for (--start, --end,
// --every, --max-frames), and through Ctrl-C: whoever grabs from it (the
// pipeline, and with it the recording controller, or `kelvo replay`) gets
// exactly the frames the run is to process, and nothing once interrupted.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "kelvo/sources/base.hpp"
#include "kelvo/sources/forwarding_source.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "options.hpp"

namespace kelvo::cli {

/// States: constructed -> open (the range resolved against the recording and
/// the replay moved to its start) -> closed. grab() runs on one thread at a
/// time (the pipeline's worker, or the command's own loop).
class RangedReplay final : public ForwardingSource {  // the rest is the replay's
  public:
    RangedReplay(std::shared_ptr<MkvReplay> replay, RangeArgs range);

    /// Opens the replay and moves it to the start of the range. UsageError
    /// for a frame index without the recording's frame index or an end before
    /// the start; ExitError when the start lies past the end of the recording.
    CameraInfo open() override;
    /// The next frame of the range, or null at its end or once interrupted.
    FramePtr grab(double timeout = 1.0) override;
    void close() override;
    /// True at the end of the range, of the recording or after an interrupt.
    bool at_end() const override;

    /// How many frames the range will deliver; 0 when the recording has no
    /// frame index to count them.
    std::int64_t expected_frames() const { return _expected; }
    std::int64_t delivered() const { return _delivered.load(); }
    /// Called with every frame the range delivers, on the grabbing thread,
    /// before grab() returns it. Set before the first grab.
    void set_on_frame(std::function<void(const FramePtr&)> on_frame) {
        _on_frame = std::move(on_frame);
    }
    MkvReplay& replay() { return *_replay; }

  private:
    // Constant after open().
    std::shared_ptr<MkvReplay> _replay;
    RangeArgs _range;
    std::int64_t _start_pts = 0;
    std::optional<std::int64_t> _end_pts;  ///< first time not included
    std::int64_t _expected = 0;
    std::function<void(const FramePtr&)> _on_frame;

    // Grabbing thread only.
    std::int64_t _position = 0;  ///< frames of the range seen, taken or not

    // Atomic: read from any thread.
    std::atomic<std::int64_t> _delivered{0};
    std::atomic<bool> _done{false};
};

}  // namespace kelvo::cli
