// The post-processing chain that follows any disparity or depth back-end in
// the pipeline. Its stages run in this fixed order, each on or off by its
// "post_" runtime controls (listed beside the back-end's own):
//   1. left-right check against the back-end's right-view map;
//   2. speckle removal (small islands of disparity unlike their surround);
//   3. edge-aware smoothing and filling guided by the left view (OpenCV's
//      fast global smoother, a weighted least squares solver, normalised by
//      the confidence so that holes and doubtful values pull nothing);
//   4. a temporal filter across consecutive frames, reset by any jump;
//   5. hole filling: each run of holes along a row takes the farther of the
//      two values bounding it (occluded pixels belong to the background).
// "post_chain" turns every stage off at once. Every map comes with a
// confidence map (8-bit, 0 for a hole), also with the stages off.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "kelvo/controls.hpp"
#include "kelvo/export.hpp"

namespace kelvo {

/// What the back-end in front of the chain gives.
struct PostChainTraits {
    std::string backend;      ///< registry key, named in refusals
    bool depth_map = false;   ///< the map is depth in metres (mono back-ends), not disparity
    bool right_view = false;  ///< a right-view disparity map can be had for each frame
};

/// One map into the chain, in the back-end's canvas pixels (its valid region).
struct PostInput {
    cv::Mat map;         ///< CV_32F; NaN: no estimate
    cv::Mat right_view;  ///< CV_32F right-view disparity, same size (for the left-right check)
    cv::Mat guide;       ///< the left view, grey or BGR, same size (for the edge-aware filter)
    /// The frame's place in its source (its frame index, else its sequence
    /// number): the temporal filter carries history only to the next one.
    std::int64_t frame_index = 0;
    /// What else the map depends on (the calibration, the back-end's
    /// settings); any change resets the temporal filter.
    std::uint64_t scene = 0;
    /// False: no confidence map is asked for (the output's stays empty), so
    /// none is computed unless a stage needs one.
    bool want_confidence = true;
};

struct PostOutput {
    cv::Mat map;         ///< CV_32F, the input's size; NaN: no estimate
    cv::Mat confidence;  ///< CV_8U, the same size: 0 for a hole, up to 255 (empty when not asked)
};

/// Confidence of a value that only hole filling gave.
inline constexpr int FILLED_CONFIDENCE = 25;

class KELVO_API PostChain {
  public:
    explicit PostChain(PostChainTraits traits);
    ~PostChain();
    PostChain(const PostChain&) = delete;
    PostChain& operator=(const PostChain&) = delete;

    /// The chain's control descriptors for a back-end with `traits`: a stage
    /// the back-end cannot feed is off by default.
    static std::vector<IntControl> CONTROLS(const PostChainTraits& traits);
    /// True for the names of the chain's controls ("post_" and a stage).
    static bool is_chain_control(const std::string& name);

    const IntControlValues& controls() const { return _controls; }
    /// Validates and stores; std::invalid_argument naming the control and the
    /// back-end when the stage it turns on cannot run for that back-end.
    void set_control(const std::string& name, int value);
    int control(const std::string& name) const { return _controls.get(name); }

    /// True when the next `process` reads `PostInput::right_view` / `guide`.
    bool needs_right_view() const;
    bool needs_guide() const;

    /// Runs the stages that are on. A map without a valid pixel is a valid
    /// input: all holes, confidence 0. Not thread-safe: one frame at a time.
    PostOutput process(const PostInput& input);
    /// Forgets the temporal filter's history.
    void reset();

  private:
    struct Temporal;
    static void finish_confidence(const cv::Mat& map, const cv::Mat& confidence, PostOutput& out);

    PostChainTraits _traits;
    IntControlValues _controls;
    std::uint64_t _temporal_version = 0;  ///< controls version the history was made with
    std::unique_ptr<Temporal> _temporal;
};

}  // namespace kelvo
