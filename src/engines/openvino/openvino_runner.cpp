// OpenVINORunner: one exported network compiled for one device with the
// latency hint, run on a pool of `nireq` asynchronous inference requests.
//
// States: ready (after construction) -> shut down (after `shutdown()`, any
// number of calls). The runtime's C++ API has no ready-made request queue,
// so the pool is built here on start_async and completion callbacks:
// `submit` takes a free request (waiting while all are busy), binds the blobs
// without copying and starts it; the completion callback copies the selected
// output into the run's EventFuture and hands the request back.
#include <pwd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <openvino/openvino.hpp>

#include "engines/openvino/plugin_abi.hpp"
#include "kelvo/cache_dir.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/log.hpp"
#include "kelvo/sync.hpp"

namespace kelvo {
namespace {

spdlog::logger& logger() {
    static const auto instance = get_logger("kelvo_camera_sdk.openvino_runner");
    return *instance;
}

/// A leading "~" or "~user" replaced by that home folder, as shells do.
std::filesystem::path expand_user(const std::filesystem::path& path) {
    const std::string text = path.string();
    if (text.empty() || text.front() != '~') return path;
    const auto slash = text.find('/');
    const std::string user =
        text.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home;
    if (user.empty()) {
        if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
            home = env;
        } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir) {
            home = pw->pw_dir;
        }
    } else if (const passwd* pw = getpwnam(user.c_str()); pw != nullptr && pw->pw_dir) {
        home = pw->pw_dir;
    }
    if (home.empty()) return path;  // unknown user: left as given
    return slash == std::string::npos ? std::filesystem::path(home)
                                      : std::filesystem::path(home + text.substr(slash));
}

/// Names as a Python list or tuple: ['a', 'b'], ('left', 'right'), ('input',).
std::string names_repr(const std::vector<std::string>& names, bool tuple) {
    std::string text = tuple ? "(" : "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ", ";
        text += repr(names[i]);
    }
    if (tuple && names.size() == 1) text += ",";
    text += tuple ? ")" : "]";
    return text;
}

ov::element::Type element_of_depth(int depth) {
    switch (depth) {
        case CV_8U:
            return ov::element::u8;
        case CV_8S:
            return ov::element::i8;
        case CV_16U:
            return ov::element::u16;
        case CV_16S:
            return ov::element::i16;
        case CV_32S:
            return ov::element::i32;
        case CV_32F:
            return ov::element::f32;
        case CV_64F:
            return ov::element::f64;
        case CV_16F:
            return ov::element::f16;
        default:
            throw std::invalid_argument(fmt::format("blob depth {} has no tensor type", depth));
    }
}

int depth_of_element(const ov::element::Type& type, const std::string& output) {
    if (type == ov::element::f32) return CV_32F;
    if (type == ov::element::f16) return CV_16F;
    if (type == ov::element::f64) return CV_64F;
    if (type == ov::element::i32) return CV_32S;
    if (type == ov::element::i16) return CV_16S;
    if (type == ov::element::u16) return CV_16U;
    if (type == ov::element::i8) return CV_8S;
    if (type == ov::element::u8 || type == ov::element::boolean) return CV_8U;
    throw RuntimeError(fmt::format("output {} has element type {}, which has no array form",
                                   repr(output), type.get_type_name()));
}

/// The blob's dimensions; a multi-channel Mat adds its channels as last axis.
ov::Shape shape_of(const cv::Mat& blob) {
    ov::Shape shape;
    for (int i = 0; i < blob.dims; ++i) shape.push_back(static_cast<std::size_t>(blob.size[i]));
    if (blob.channels() > 1) shape.push_back(static_cast<std::size_t>(blob.channels()));
    return shape;
}

/// Lock order: `_shutdown_mutex`, then `_mutex`. No lock is held while a
/// future is completed or the runtime waits for a request.
class OpenVINORunner final : public InferenceEngine {
  public:
    explicit OpenVINORunner(const OpenVINORunnerOptions& options);
    ~OpenVINORunner() override;

    std::vector<Shape4> input_shapes() const override { return _in_shapes; }
    InferenceFuturePtr submit(const std::vector<cv::Mat>& blobs) override KELVO_EXCLUDES(_mutex);
    void shutdown() override KELVO_EXCLUDES(_shutdown_mutex, _mutex);

  private:
    /// One request of the pool. Whoever took its index from `_free` (a
    /// submit, then the completion callback) uses `request` without the lock;
    /// `future` and `inputs`, the run in flight, change under `_mutex`.
    struct Slot {
        ov::InferRequest request;
        std::shared_ptr<EventFuture> future;
        std::vector<cv::Mat> inputs;  ///< keeps the bound blob memory alive
    };

    /// Completion callback; runs on a runtime thread, one call per finished
    /// run, concurrently with `submit` and other completions. Never throws.
    void _on_done(std::size_t index, std::exception_ptr error) noexcept KELVO_EXCLUDES(_mutex);
    cv::Mat _copy_output(ov::InferRequest& request) const;

    // Constant after construction.
    std::string _device;
    int _nireq = 1;
    std::vector<Shape4> _in_shapes;
    std::vector<std::string> _in_names;
    std::string _out;
    ov::Output<const ov::Node> _out_port;

    /// Serialises concurrent shutdown calls.
    Mutex _shutdown_mutex KELVO_ACQUIRED_BEFORE(_mutex);

    // Guarded by `_mutex`; `_cv` signals a request coming back or shutdown.
    // The slot vector is never resized while requests run; shutdown empties
    // it once every request is back.
    mutable Mutex _mutex;
    CondVar _cv;
    std::vector<Slot> _slots KELVO_GUARDED_BY(_mutex);
    std::vector<std::size_t> _free KELVO_GUARDED_BY(_mutex);
    int _callbacks_running KELVO_GUARDED_BY(_mutex) = 0;
    bool _closed KELVO_GUARDED_BY(_mutex) = false;
    std::optional<ov::CompiledModel> _compiled KELVO_GUARDED_BY(_mutex);
};

OpenVINORunner::OpenVINORunner(const OpenVINORunnerOptions& options) {
    std::string device = options.device;
    for (auto& c : device) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    _device = device;
    _nireq = std::max(1, options.nireq);

    ov::Core core;
    if (options.do_models_cache) {
        const std::filesystem::path root = options.cache_dir && !options.cache_dir->empty()
                                               ? expand_user(*options.cache_dir)
                                               : get_cache_dir();
        const std::filesystem::path folder = root / "openvino";
        try {
            std::filesystem::create_directories(folder);
            core.set_property(ov::AnyMap{{"CACHE_DIR", folder.string()}});
        } catch (...) {
            log_printf(logger(), spdlog::level::warn,
                       "OpenVINO cache dir %s is not writable; expect long warmup on every start "
                       "(call kelvo_camera_sdk.set_cache_dir() or pass cache_dir=... / "
                       "do_models_cache=False to redirect)",
                       folder.string());
        }
    }

    std::shared_ptr<ov::Model> model = core.read_model(options.model_path.string());

    if (options.input_shape) {
        const auto n_inputs = model->inputs().size();
        if (n_inputs != 1) {
            throw RuntimeError(fmt::format(
                "input_shape= override only supported for single-input models; got {} inputs",
                n_inputs));
        }
        std::map<std::string, ov::PartialShape> shapes;
        shapes.emplace(model->input(0).get_any_name(), ov::PartialShape(*options.input_shape));
        model->reshape(shapes);
    }

    const auto inputs = model->inputs();
    const auto outputs = model->outputs();
    if (inputs.empty() || outputs.empty()) {
        throw RuntimeError(
            fmt::format("model must have \u22651 input and \u22651 output; got {} in / "
                        "{} out",
                        inputs.size(), outputs.size()));
    }

    for (const auto& input : inputs) {
        const ov::PartialShape shape = input.get_partial_shape();
        if (shape.rank().is_dynamic() || shape.rank().get_length() != 4) {
            throw RuntimeError("model input " + repr(input.get_any_name()) + " must be 4D NCHW");
        }
        // Dynamic lengths raise the runtime's own error here, as documented.
        _in_shapes.push_back(Shape4{shape[0].get_length(), shape[1].get_length(),
                                    shape[2].get_length(), shape[3].get_length()});
    }

    _compiled = core.compile_model(model, _device, ov::AnyMap{{"PERFORMANCE_HINT", "LATENCY"}});

    for (const auto& input : inputs) _in_names.push_back(input.get_any_name());
    std::vector<std::string> out_names;
    for (const auto& output : outputs) out_names.push_back(output.get_any_name());

    if (options.output_name) {
        if (std::find(out_names.begin(), out_names.end(), *options.output_name) ==
            out_names.end()) {
            throw RuntimeError("requested output " + repr(*options.output_name) +
                               " not in model outputs " + names_repr(out_names, false));
        }
        _out = *options.output_name;
    } else {
        _out = out_names.front();
    }
    _out_port = _compiled->output(_out);

    _slots.resize(static_cast<std::size_t>(_nireq));
    for (std::size_t i = 0; i < _slots.size(); ++i) {
        _slots[i].request = _compiled->create_infer_request();
        _slots[i].request.set_callback(
            [this, i](std::exception_ptr error) { _on_done(i, std::move(error)); });
        _free.push_back(_slots.size() - 1 - i);  // request 0 is taken first
    }
    log_printf(logger(), spdlog::level::debug, "compiled %s for %s with %d requests",
               options.model_path.string(), _device, _nireq);
}

OpenVINORunner::~OpenVINORunner() {
    try {
        shutdown();
    } catch (...) {
        // shutdown swallows runtime errors; nothing else can be raised here.
    }
}

InferenceFuturePtr OpenVINORunner::submit(const std::vector<cv::Mat>& blobs) {
    if (blobs.size() != _in_names.size()) {
        throw std::invalid_argument(
            fmt::format("submit expected {} blobs (model inputs {}); got {}", _in_names.size(),
                        names_repr(_in_names, true), blobs.size()));
    }
    // Tensors share the blobs' memory; only a non-continuous blob is copied.
    std::vector<cv::Mat> kept;
    std::vector<ov::Tensor> tensors;
    kept.reserve(blobs.size());
    tensors.reserve(blobs.size());
    for (const auto& blob : blobs) {
        kept.push_back(blob.isContinuous() ? blob : blob.clone());
        const cv::Mat& m = kept.back();
        tensors.emplace_back(element_of_depth(m.depth()), shape_of(m), m.data);
    }
    auto future = std::make_shared<EventFuture>();

    std::size_t index = 0;
    Slot* taken = nullptr;
    {
        MutexLock lock(_mutex);
        while (!_closed && _free.empty()) _cv.wait(lock);
        if (_closed) throw RuntimeError("OpenVINORunner is shut down; submit is not allowed");
        index = _free.back();
        _free.pop_back();
        taken = &_slots[index];
    }
    Slot& slot = *taken;
    try {
        // The request's previous callback may still be returning; wait() ends
        // once the runtime is completely done with that run.
        try {
            slot.request.wait();
        } catch (...) {
            // That run's error already went to its future.
        }
        for (std::size_t i = 0; i < tensors.size(); ++i) {
            slot.request.set_input_tensor(i, tensors[i]);
        }
        {
            MutexLock lock(_mutex);
            slot.future = future;
            slot.inputs = std::move(kept);
        }
        slot.request.start_async();
    } catch (...) {
        // A request that did not start goes back to the pool.
        MutexLock lock(_mutex);
        slot.future.reset();
        slot.inputs.clear();
        _free.push_back(index);
        _cv.notify_all();
        throw;
    }
    return future;
}

cv::Mat OpenVINORunner::_copy_output(ov::InferRequest& request) const {
    ov::Tensor tensor = request.get_tensor(_out_port);
    const int depth = depth_of_element(tensor.get_element_type(), _out);
    const ov::Shape shape = tensor.get_shape();
    std::vector<int> sizes;
    for (auto d : shape) {
        if (d > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            throw RuntimeError(fmt::format("output {} dimension {} is too large", repr(_out), d));
        }
        sizes.push_back(static_cast<int>(d));
    }
    if (sizes.empty()) sizes.push_back(1);  // a scalar becomes a 1x1 array
    cv::Mat result(static_cast<int>(sizes.size()), sizes.data(), depth);
    if (result.total() * result.elemSize() != tensor.get_byte_size()) {
        throw RuntimeError(fmt::format("output {} holds {} bytes, expected {}", repr(_out),
                                       tensor.get_byte_size(), result.total() * result.elemSize()));
    }
    // copy_to also handles strided tensors; the copy never aliases the
    // request's buffers, which the next run overwrites.
    ov::Tensor target(tensor.get_element_type(), shape, result.data);
    tensor.copy_to(target);
    return result;
}

void OpenVINORunner::_on_done(std::size_t index, std::exception_ptr error) noexcept {
    try {
        // The slot is looked up under the lock: the runtime's hand-over from
        // start_async to this thread is not something the lock-based
        // happens-before of the pool can rely on.
        Slot* slot = nullptr;
        std::shared_ptr<EventFuture> future;
        {
            MutexLock lock(_mutex);
            ++_callbacks_running;
            slot = &_slots[index];
            future = std::move(slot->future);
            slot->inputs.clear();
        }
        cv::Mat result;
        if (!error) {
            try {
                result = _copy_output(slot->request);
            } catch (...) {
                error = std::current_exception();
            }
        }
        // The future is completed before the request is handed back, so with
        // one request a returning `submit` means the previous run is done.
        if (future) {
            if (error) {
                future->set_error(error);
            } else {
                future->set_result(std::move(result));
            }
        }
    } catch (...) {
        // Nothing may escape into the runtime's thread.
        log_exception(logger(), "completion callback failed");
    }
    MutexLock lock(_mutex);
    _free.push_back(index);
    --_callbacks_running;
    _cv.notify_all();
}

void OpenVINORunner::shutdown() {
    MutexLock shutdown_lock(_shutdown_mutex);
    try {
        // Request handles share their state: the runtime is waited for
        // through copies, outside the lock.
        std::vector<ov::InferRequest> requests;
        {
            MutexLock lock(_mutex);
            _closed = true;
            _cv.notify_all();  // submitters waiting for a request give up
            while (_free.size() != _slots.size() || _callbacks_running != 0) _cv.wait(lock);
            for (const auto& slot : _slots) requests.push_back(slot.request);
        }
        for (auto& request : requests) {
            try {
                request.wait();
            } catch (...) {
                // The run's error went to its future.
            }
        }
    } catch (...) {
        // Errors while waiting are swallowed.
    }
    // Released after the lock, requests before the compiled model.
    std::optional<ov::CompiledModel> compiled;
    std::vector<Slot> slots;
    MutexLock lock(_mutex);
    slots.swap(_slots);
    compiled.swap(_compiled);
    _free.clear();
}

}  // namespace
}  // namespace kelvo

extern "C" KELVO_API void kelvo_openvino_runner_create_v1(
    const kelvo::OpenVINORunnerOptions* options, std::shared_ptr<kelvo::InferenceEngine>* out) {
    *out = std::make_shared<kelvo::OpenVINORunner>(*options);
}
