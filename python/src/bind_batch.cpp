// Batch processing from Python (kelvo_camera_sdk.batch): a pipeline whose
// frames arrive from anywhere (rows of a Ray Data batch), each with the
// calibration in force for it, and the `kelvo` command's own map, preview and
// point-cloud writers, so a batch run writes the very files `kelvo depth`
// and `kelvo export` write.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "bind_batch.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "kelvo/sync.hpp"
#include "kelvo/writers/calibration_names.hpp"
#include "kelvo/writers/maps.hpp"
#include "sources.hpp"

namespace kelvo::py {

namespace {

/// A frame source fed by its owner; each frame carries the calibration in
/// force for it, as every kit source attaches its own.
class FeedSource final : public FrameSource {
  public:
    explicit FeedSource(std::string fourcc) : _fourcc(std::move(fourcc)) {}

    CameraInfo open() override { return {}; }
    void push(FramePtr frame) {
        MutexLock lock(_mutex);
        _queue.push_back(std::move(frame));
        _cv.notify_all();
    }
    FramePtr grab(double timeout) override {
        MutexLock lock(_mutex);
        const auto deadline = CondVar::deadline_in(timeout);
        while (_queue.empty() && !_closed) {
            if (!_cv.wait_until(lock, deadline)) break;
        }
        if (_queue.empty()) return nullptr;
        FramePtr frame = std::move(_queue.front());
        _queue.pop_front();
        return frame;
    }
    void close() override {
        MutexLock lock(_mutex);
        _closed = true;
        _cv.notify_all();
    }
    bool at_end() const override {
        MutexLock lock(_mutex);
        return _closed;
    }
    std::vector<CameraControl> list_camera_controls() override { return {}; }
    bool is_live() const override { return false; }
    bool is_seekable() const override { return false; }
    std::string fourcc() const override { return _fourcc; }
    std::optional<std::string> mode_slug() const override { return std::nullopt; }
    CalibrationPtr base_calibration() const override { return nullptr; }
    /// Frames bring their own; the feed has no calibration of its own.
    CalibrationPtr active_calibration() const override { return nullptr; }
    std::optional<std::int64_t> t0_monotonic_ns() const override { return std::nullopt; }

  private:
    // Constant after construction.
    const std::string _fourcc;

    // Guarded by `_mutex`.
    mutable Mutex _mutex;
    CondVar _cv;
    std::deque<FramePtr> _queue KELVO_GUARDED_BY(_mutex);
    bool _closed KELVO_GUARDED_BY(_mutex) = false;
};

/// One frame's result; null packet: the frame was skipped (it did not
/// decode, or the back-end failed on it; the pipeline logged why).
struct DepthResult {
    FramePacketPtr packet;
    MapMeaning meaning;
    bool mono = false;
};

/// A back-end kept for many batches: one pipeline over a FeedSource. run()
/// hands it a batch and returns one result per frame, in order.
class BatchDepth {
  public:
    BatchDepth(PipelineOptions options, std::string fourcc)
        : _feed(std::make_shared<FeedSource>(std::move(fourcc))) {
        options.source = _feed;
        options.queue_size = 0;  // packets arrive through the callback only
        options.stop_at_end = true;
        options.manage_source = false;
        options.on_packet = [this](const FramePacketPtr& packet) {
            MutexLock lock(_mutex);
            _packets.emplace(packet->sequence, packet);
            _cv.notify_all();
        };
        _pipeline = std::make_unique<Pipeline>(std::move(options));
        _meaning = map_meaning(*_pipeline);
        _mono = _pipeline->backend_kind() == InferenceKind::mono;
        _pipeline->start();
    }
    ~BatchDepth() {
        _feed->close();
        _pipeline->stop();
    }
    BatchDepth(const BatchDepth&) = delete;
    BatchDepth& operator=(const BatchDepth&) = delete;

    const Pipeline& pipeline() const { return *_pipeline; }
    const MapMeaning& meaning() const { return _meaning; }

    /// Frames as (payload, calibration as JSON text or empty, pts_us).
    std::vector<DepthResult> run(
        std::vector<std::tuple<std::vector<std::uint8_t>, std::string, std::int64_t>> frames) {
        const auto before = _pipeline->stats();
        const std::int64_t first = _next_sequence;
        for (auto& [payload, calibration, pts_us] : frames) {
            auto frame = std::make_shared<RawFrame>();
            frame->payload = std::move(payload);
            frame->pts_us = pts_us;
            // The sequence numbers of this feed match packets to frames.
            frame->sequence = _next_sequence++;
            frame->calibration = calibration_for(calibration);
            _feed->push(std::move(frame));
        }
        const auto n = static_cast<std::int64_t>(frames.size());
        const auto skipped = [&] {
            const auto s = _pipeline->stats();
            return s.frames_undecodable - before.frames_undecodable + s.frames_failed -
                   before.frames_failed;
        };
        std::map<std::int64_t, FramePacketPtr> got;
        {
            MutexLock lock(_mutex);
            for (;;) {
                const auto done = static_cast<std::int64_t>(_packets.size()) + skipped();
                if (done >= n) break;
                if (!_pipeline->is_running() || _pipeline->is_finished()) {
                    throw RuntimeError("the batch pipeline ended before the batch was done");
                }
                // Skipped frames are only counted, so the wait polls as well.
                _cv.wait_until(lock, CondVar::deadline_in(0.05));
            }
            got.swap(_packets);
        }
        std::vector<DepthResult> out;
        out.reserve(frames.size());
        for (std::int64_t s = first; s < first + n; ++s) {
            const auto it = got.find(s);
            out.push_back({it == got.end() ? nullptr : it->second, _meaning, _mono});
        }
        return out;
    }

  private:
    /// Frames of one calibration share one object, so the pipeline keeps its
    /// rectification maps instead of building them again for every frame.
    CalibrationPtr calibration_for(const std::string& text) {
        if (text.empty()) return nullptr;
        if (const auto it = _calibrations.find(text); it != _calibrations.end()) return it->second;
        if (_calibrations.size() >= 64) _calibrations.clear();
        auto calibration = Calibration::from_dict(Json::parse(text));
        _calibrations.emplace(text, calibration);
        return calibration;
    }

    std::shared_ptr<FeedSource> _feed;
    std::unique_ptr<Pipeline> _pipeline;
    MapMeaning _meaning;
    bool _mono = false;

    // Caller's thread only (run() is not re-entered: the interpreter lock is
    // released inside it, but one depth step object serves one batch at a time).
    std::int64_t _next_sequence = 1;
    std::map<std::string, CalibrationPtr> _calibrations;

    // Guarded by `_mutex`; filled on the pipeline's hand-out thread.
    Mutex _mutex;
    CondVar _cv;
    std::map<std::int64_t, FramePacketPtr> _packets KELVO_GUARDED_BY(_mutex);
};

const cv::Mat& main_map(const DepthResult& r) {
    return r.mono ? r.packet->depth : r.packet->disparity;
}

const FramePacket& packet_of(const DepthResult& r) {
    if (!r.packet) raise_runtime("the frame was skipped: it has no maps");
    return *r.packet;
}

nb::object result_timings(const DepthResult& r) {
    if (!r.packet) return nb::none();
    return timings_dict(r.packet->timings);
}

void bind_result(nb::module_& m) {
    using release = nb::call_guard<nb::gil_scoped_release>;
    nb::class_<DepthResult>(m, "_BatchResult", "One frame's maps from a batch depth step.")
        .def_prop_ro("ok", [](const DepthResult& r) { return r.packet != nullptr; })
        .def_prop_ro("kind", [](const DepthResult& r) { return r.meaning.kind; })
        .def_prop_ro("unit", [](const DepthResult& r) { return r.meaning.unit; })
        .def_prop_ro("calibrated",
                     [](const DepthResult& r) { return r.packet && r.packet->calibration; })
        .def_prop_ro("disparity",
                     [](const DepthResult& r) {
                         return r.packet ? mat_to_numpy(r.packet->disparity) : nb::none();
                     })
        .def_prop_ro("depth",
                     [](const DepthResult& r) {
                         return r.packet ? mat_to_numpy(r.packet->depth) : nb::none();
                     })
        .def_prop_ro("confidence",
                     [](const DepthResult& r) {
                         return r.packet ? mat_to_numpy(r.packet->confidence) : nb::none();
                     })
        .def_prop_ro("timings", &result_timings)
        .def(
            "write_map",
            [](const DepthResult& r, const std::filesystem::path& stem) {
                const auto s = write_float_map(main_map(r), stem, r.meaning);
                return std::make_tuple(s.lo, s.hi, s.any_valid);
            },
            nb::arg("stem"), release(),
            "Writes <stem>.tiff (32-bit float, described) and its preview <stem>.png; "
            "returns the preview's (low, high, any_valid).")
        .def(
            "write_depth_png",
            [](const DepthResult& r, const std::filesystem::path& file) {
                const FramePacket& p = packet_of(r);
                if (p.depth.empty()) return false;
                write_depth_mm_png(p.depth, file);
                return true;
            },
            nb::arg("file"), release(),
            "Depth in millimetres as a 16-bit PNG; False when the frame has no depth.")
        .def(
            "write_confidence",
            [](const DepthResult& r, const std::filesystem::path& file) {
                const FramePacket& p = packet_of(r);
                if (p.confidence.empty()) return false;
                write_png(p.confidence, file);
                return true;
            },
            nb::arg("file"), release(),
            "The confidence map as an 8-bit grey PNG (0 = no estimate up to 255), as "
            "`kelvo depth` writes it; False when the frame has none.")
        .def(
            "write_ply",
            [](const DepthResult& r, const std::filesystem::path& file,
               const std::string& comment) -> std::optional<std::int64_t> {
                const FramePacket& p = packet_of(r);
                // A point cloud needs metric depth and the rectified camera it lies in.
                if (!p.calibration || p.depth.empty() || p.rectified_left.empty() ||
                    r.meaning.unit == "relative") {
                    return std::nullopt;
                }
                return write_packet_ply(p, file, comment);
            },
            nb::arg("file"), nb::arg("comment"), release(),
            "A coloured binary PLY in metres; returns its points, or None when the frame has "
            "no metric depth or no calibration.");
}

void bind_depth(nb::module_& m) {
    nb::class_<BatchDepth>(m, "_BatchDepth",
                           "One back-end kept across batches: frames in, one result each.")
        .def(
            "__init__",
            [](BatchDepth* self, std::string backend, std::string variant,
               std::vector<std::pair<std::string, int>> controls, std::string fourcc, int width,
               int height, std::string device, int nireq, bool rectified_images) {
                PipelineOptions options;
                // Off gives the very maps of `kelvo depth`; on, the point
                // clouds get their colours, as with `kelvo export --what ply`.
                options.rectified_images = rectified_images;
                options.backend = std::move(backend);
                options.variant = std::move(variant);
                options.controls = std::move(controls);
                options.engine.device = std::move(device);
                options.engine.nireq = nireq;
                CameraInfo info;
                info.width = width;
                info.height = height;
                options.camera_info = info;
                nb::gil_scoped_release unlocked;  // builds the back-end (may compile a network)
                new (self) BatchDepth(std::move(options), std::move(fourcc));
            },
            nb::arg("backend"), nb::kw_only(), nb::arg("variant") = "",
            nb::arg("controls") = std::vector<std::pair<std::string, int>>{},
            nb::arg("fourcc") = "MJPG", nb::arg("width") = 0, nb::arg("height") = 0,
            nb::arg("device") = "CPU", nb::arg("nireq") = 2, nb::arg("rectified_images") = false)
        .def_prop_ro("backend_key", [](const BatchDepth& d) { return d.pipeline().backend_key(); })
        .def_prop_ro("variant", [](const BatchDepth& d) { return d.pipeline().variant().slug; })
        .def_prop_ro(
            "unit", [](const BatchDepth& d) { return d.meaning().unit; },
            "The main map's unit: \"pixels\" (disparity), \"metres\" or \"relative\" (a relative "
            "network).")
        .def(
            "run",
            [](BatchDepth& d, nb::list frames) {
                std::vector<std::tuple<std::vector<std::uint8_t>, std::string, std::int64_t>> items;
                items.reserve(nb::len(frames));
                for (nb::handle f : frames) {
                    const nb::tuple t = nb::cast<nb::tuple>(f);
                    if (t.size() != 3) {
                        throw std::invalid_argument(
                            "each frame is (payload, calibration_json, pts_us)");
                    }
                    const nb::bytes payload = nb::cast<nb::bytes>(t[0]);
                    const auto* bytes = static_cast<const std::uint8_t*>(payload.data());
                    std::string calibration =
                        t[1].is_none() ? std::string() : nb::cast<std::string>(t[1]);
                    items.emplace_back(std::vector<std::uint8_t>(bytes, bytes + payload.size()),
                                       std::move(calibration), nb::cast<std::int64_t>(t[2]));
                }
                nb::gil_scoped_release unlocked;
                return d.run(std::move(items));
            },
            nb::arg("frames"),
            "Runs the back-end on (payload bytes, calibration JSON text or None, pts_us) "
            "frames; one result per frame, in order.");
}

}  // namespace

void bind_batch(nb::module_& m) {
    bind_result(m);
    bind_depth(m);
    nb::class_<CalibrationNames>(m, "_CalibrationNames",
                                 "The calibration names of `kelvo depth`'s frames.csv.")
        .def(
            "__init__",
            [](CalibrationNames* self, PySource& source) {
                const auto* replay = dynamic_cast<const MkvReplay*>(source.impl.get());
                if (!replay) throw std::invalid_argument("calibration names need an MkvReplay");
                new (self) CalibrationNames(*replay);
            },
            nb::arg("replay"))
        .def("at", &CalibrationNames::at, nb::arg("pts_us"), nb::arg("rectified"),
             "\"factory\", \"update:N\" or (not rectified) \"none\".");
    m.def(
        "_frame_stem",
        [](const std::string& kind, long long index) { return frame_stem(kind, index); },
        nb::arg("kind"), nb::arg("index"), "\"disparity_000042\": the kit's file names.");
    m.attr("_CONFIDENCE_FORMAT") = CONFIDENCE_FORMAT;
    m.def(
        "_set_opencv_threads", [](int n) { cv::setNumThreads(n); }, nb::arg("n"),
        "OpenCV's worker threads in this process (one per core when not set).");
}

}  // namespace kelvo::py
