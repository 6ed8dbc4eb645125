// Base classes and records of the depth-inference framework.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/controls.hpp"
#include "kelvo/engines/base.hpp"
#include "kelvo/export.hpp"
#include "kelvo/json.hpp"
#include "kelvo/sync.hpp"

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

/// What a back-end takes and gives: both eyes and a disparity map (stereo),
/// or one eye and a depth map (mono). A class's kind is registry metadata,
/// the one answer for every consumer.
enum class InferenceKind { stereo, mono };
/// "stereo" or "mono".
KELVO_API const char* kind_name(InferenceKind kind);

/// Root of every back-end.
class KELVO_API DepthInferenceBase {
  public:
    virtual ~DepthInferenceBase();

    virtual HeightWidth input_size() const = 0;
    virtual std::string label() const = 0;
    virtual InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) = 0;
    virtual cv::Mat postprocess(const cv::Mat& raw_output, const CanvasLayout& layout) = 0;
    /// True for a back-end that computes nothing: a pipeline rectifies the
    /// pair and never runs it.
    virtual bool is_passthrough() const { return false; }
    /// True for a back-end that can also match the right view
    /// (`ClassicStereoInferenceBase::compute_right_view`), for a left-right check.
    virtual bool gives_right_view() const { return false; }

    /// Runtime controls of this instance.
    IntControlValues& controls() { return _controls; }
    const IntControlValues& controls() const { return _controls; }
    /// Current integer of a control; std::invalid_argument for an unknown name.
    int control(const std::string& name) const { return _controls.get(name); }
    /// Validates and changes a control; takes effect before the next computation.
    void set_inference_control(const std::string& name, int value) { _controls.set(name, value); }

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
    /// `compute`, and beside it the disparity of the right view (positive,
    /// CV_32F in canvas pixels, NaN without a match) from a right-view
    /// matcher with the same parameters; the two matches run at once.
    std::pair<cv::Mat, cv::Mat> compute_with_right_view(const cv::Mat& canvas_l,
                                                        const cv::Mat& canvas_r);
    bool gives_right_view() const override { return true; }
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
    /// Rebuilds the matchers when a control changed, and makes the grey pair.
    void prepare(const cv::Mat& canvas_l, const cv::Mat& canvas_r);
    /// The matcher's fixed-point output (16 per pixel) as a float map, NaN below `min_fixed`.
    static cv::Mat to_float_map(const cv::Mat& fixed, int min_fixed, float sign);

    std::uint64_t _matcher_version = 0;              ///< controls version the matcher was built for
    cv::Ptr<cv::StereoMatcher> _right_matcher;       ///< built from `_matcher` when first asked
    cv::Mat _grey_l, _grey_r, _fixed, _right_fixed;  ///< scratch buffers, compute thread only
};

/// Base of neural back-ends: resolves the variant's model files, creates the
/// engine (with the class's INPUT_SIZE / OUTPUT_NAME when it sets them),
/// builds canvases at the network's input size and calls the hooks in order:
/// `_init_extra_state()` once, then per frame `preprocess`, `submit`,
/// `postprocess`. The pipeline keeps up to `nireq` frames in flight.
class KELVO_API NeuralInferenceBase : public DepthInferenceBase {
  public:
    ~NeuralInferenceBase() override;

    /// Framework-side set-up for one variant; an engine may be injected
    /// (tests), otherwise the OpenVINO engine is created from the model file.
    void initialize(const InferenceVariant& variant, const InferenceCreateOptions& options,
                    std::shared_ptr<InferenceEngine> engine = nullptr);

    HeightWidth input_size() const override;
    std::string label() const override;
    InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) override;

    /// Canvases (H x W x 3 BGR of `input_size()`) to input blobs in the
    /// network's input order; `canvas_r` is null for monocular back-ends.
    virtual std::vector<cv::Mat> preprocess(const cv::Mat& canvas_l, const cv::Mat* canvas_r) = 0;
    virtual bool is_mono() const = 0;
    /// Requests in flight the engine allows.
    int nireq() const { return _nireq; }
    /// The engine; null before initialize() and after shutdown(). Any thread.
    std::shared_ptr<InferenceEngine> engine() const KELVO_EXCLUDES(_engine_mutex);
    /// Waits for runs in flight and releases the engine. Any thread, also
    /// while another submits (that submit then fails with "has no engine").
    void shutdown() KELVO_EXCLUDES(_engine_mutex);

  protected:
    /// Once per instance, before the first `preprocess`.
    virtual void _init_extra_state() {}
    /// The class's INPUT_SIZE / OUTPUT_NAME, when it pins them.
    virtual std::optional<HeightWidth> class_input_size() const { return std::nullopt; }
    virtual std::optional<std::string> class_output_name() const { return std::nullopt; }
    /// Family name for `label()`.
    virtual std::string class_label() const = 0;

    InferenceVariant _variant;
    HeightWidth _input_size;
    int _nireq = 2;

  private:
    bool _initialized = false;
    // Read by the submitting thread, released by shutdown() from any other.
    mutable Mutex _engine_mutex;
    std::shared_ptr<InferenceEngine> _engine KELVO_GUARDED_BY(_engine_mutex);
};

class KELVO_API NeuralStereoInferenceBase : public NeuralInferenceBase {
  public:
    bool is_mono() const override { return false; }
};

/// Monocular base: adds the user depth scale and offset ("depth_scale_milli",
/// "depth_offset_mm" runtime controls; identity by default).
class KELVO_API NeuralMonoInferenceBase : public NeuralInferenceBase {
  public:
    NeuralMonoInferenceBase();
    static constexpr InferenceKind KIND = InferenceKind::mono;
    /// The base's control descriptors; subclasses inherit them.
    static std::vector<IntControl> CONTROLS();
    bool is_mono() const override { return true; }
    /// Focal lengths and principal point of the rectified left camera, in
    /// pixels; used by back-ends that know their canonical camera.
    virtual void set_intrinsics(double fx, double fy, double cx, double cy);

  protected:
    /// depth * (depth_scale_milli / 1000) + depth_offset_mm / 1000 (maps in
    /// metres), with the user's current controls; the input is left untouched.
    cv::Mat _apply_depth_affine(const cv::Mat& depth) const;
};

/// Crops rows pad_y..pad_y+valid_h and columns pad_x..pad_x+valid_w of a 2-D
/// map (clipped to the map) into a contiguous CV_32F copy.
KELVO_API cv::Mat crop_to_valid(const cv::Mat& map, const CanvasLayout& layout);

namespace detail {

/// The canvas sizes the classic back-ends offer, in this order: "256x512"
/// (fast), "360x640" (balanced), "480x720" (detailed). Each variant carries
/// inference_kwargs {"canvas_size": [h, w]}, configurations "input_size" (the
/// same size) and "selector_meta" (the entry of `selector_metas` at its place).
KELVO_API std::vector<InferenceVariant> canvas_size_variants(std::array<Json, 3> selector_metas);
/// What tells one network-free back-end's variants apart in their selection
/// metadata (the rest is the same for all: task "stereo", CPU, nothing to
/// download, Apache-2.0).
struct ClassicalMeta {
    int speed_tier = 0;
    int accuracy_tier = 0;
    std::string accuracy_metric;
    std::string summary;
    Json tags = Json::array();
    bool wizard_visible = false;
    std::string license_url = "https://opencv.org/license/";
};
KELVO_API Json classical_selector_meta(const ClassicalMeta& meta);

/// The (height, width) of a variant's inference_kwargs {"canvas_size": [h, w]};
/// std::invalid_argument naming the variant and `backend` otherwise.
KELVO_API HeightWidth canvas_size_kwarg(const InferenceVariant& variant, const char* backend);

}  // namespace detail

}  // namespace kelvo
