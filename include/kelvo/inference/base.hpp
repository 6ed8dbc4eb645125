// Base classes and records of the depth-inference framework.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/controls.hpp"
#include "kelvo/engines/base.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"

namespace kelvo {

/// One downloadable model file of a neural variant.
struct KELVO_API ModelFile {
    std::string slug;
    std::string filename;
    std::optional<std::string> archive_member;

    /// `<cache dir>/models/<slug>/<filename>`.
    std::filesystem::path path() const;
    /// The path of the file, or the extracted archive member beside it; raises
    /// RuntimeError naming the path and `variant_slug` when neither exists.
    std::filesystem::path resolve(const std::string& variant_slug) const;
    Json to_json() const;
};

/// One selectable configuration of a back-end.
struct KELVO_API InferenceVariant {
    std::string slug;
    std::string label;
    Json inference_kwargs = Json::object();
    std::vector<ModelFile> files_to_download;
    Json configurations = Json::object();

    /// configurations["input_size"] as (height, width), if present.
    std::optional<HeightWidth> input_size() const;
    Json to_json() const;
};

/// Options for building a back-end instance (engine settings of neural back-ends).
struct InferenceCreateOptions {
    std::string device = "CPU";
    int nireq = 2;
    bool do_models_cache = true;
    std::optional<std::filesystem::path> cache_dir;
};

/// Invalid disparity or depth is marked NaN in every map the kit produces.
KELVO_API float invalid_value();

/// Root of every back-end.
class KELVO_API DepthInferenceBase {
public:
    virtual ~DepthInferenceBase();

    virtual HeightWidth input_size() const = 0;
    virtual std::string label() const = 0;
    virtual InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) = 0;
    virtual cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) = 0;

    /// Runtime controls of this instance.
    IntControlValues& controls() { return _controls; }
    const IntControlValues& controls() const { return _controls; }
    /// Current integer of a control; std::invalid_argument for an unknown name.
    int control(const std::string& name) const { return _controls.get(name); }
    /// Validates and changes a control; takes effect before the next computation.
    void set_inference_control(const std::string& name, int value) {
        _controls.set(name, value);
    }

protected:
    IntControlValues _controls;
};

/// Base of classical matchers: runs `_matcher` on a grey canvas pair and turns
/// its fixed-point disparity into a float map.
class KELVO_API ClassicStereoInferenceBase : public DepthInferenceBase {
public:
    explicit ClassicStereoInferenceBase(HeightWidth canvas_size);

    HeightWidth input_size() const override { return {_canvas_h, _canvas_w}; }
    /// Disparity of a canvas pair (BGR or grey, canvas-sized) as CV_32F in
    /// canvas pixels; pixels without a match are NaN. Rebuilds the matcher
    /// first when a control changed since it was built.
    cv::Mat compute(const cv::Mat& canvas_l, const cv::Mat& canvas_r);
    /// Runs `compute` on blobs {left, right} and returns a completed future.
    InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) override;
    /// Crops a canvas-sized map to the valid region.
    cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) override;

protected:
    virtual void _rebuild_matcher() = 0;

    int _canvas_h = 0;
    int _canvas_w = 0;
    cv::Ptr<cv::StereoMatcher> _matcher;

private:
    std::uint64_t _matcher_version = 0;  ///< controls version the matcher was built for
    cv::Mat _grey_l, _grey_r, _fixed;    ///< scratch buffers, compute thread only
};

/// Crops rows pad_y..pad_y+valid_h and columns pad_x..pad_x+valid_w of a 2-D
/// map (clipped to the map) into a contiguous CV_32F copy.
KELVO_API cv::Mat crop_to_valid(const cv::Mat& map, const CanvasLayout& layout);

}  // namespace kelvo
