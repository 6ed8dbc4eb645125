// What kelvo_camera_sdk.ros2 needs of the kit: eyes cut from and joined into
// side-by-side JPEGs (block-exact where possible), a calibration's
// rectification as ROS camera models want it, and the kit's recorder driven
// directly, so that a bag becomes a recording through the same writer the
// cameras use.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "kelvo/calibration.hpp"
#include "kelvo/pipeline/recorder.hpp"
#include "kelvo/writers/jpeg_eyes.hpp"
#include "records.hpp"

namespace kelvo::py {

namespace bind_ros2_parts {

/// A read-only view of any object with the buffer protocol (bytes,
/// memoryview, a RawFrame), released with the view.
class ByteView {
  public:
    explicit ByteView(nb::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &_view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    }
    ~ByteView() { PyBuffer_Release(&_view); }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;

    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(_view.buf), static_cast<std::size_t>(_view.len)};
    }

  private:
    Py_buffer _view{};
};

nb::bytes to_bytes(const std::string& s) {
    return nb::bytes(s.data(), s.size());
}

void check_quality(int quality) {
    if (quality < 1 || quality > 100) {
        throw std::invalid_argument("quality must be 1..100; got " + std::to_string(quality));
    }
}

/// An eye as the join takes it: encoded bytes (JPEG, PNG) or a BGR/grey array.
cv::Mat eye_image(nb::handle eye) {
    if (PyObject_CheckBuffer(eye.ptr()) && !nb::hasattr(eye, "shape")) {
        const ByteView view(eye);
        return decode_image(view.bytes());
    }
    return numpy_to_mat(eye, /*as_image=*/true).clone();
}

nb::object matrix(const cv::Mat& m) {
    cv::Mat copy;
    m.convertTo(copy, CV_64F);
    return mat_to_numpy(copy);
}

/// MkvRecorder fed from Python: frames are written in the order fed and never
/// dropped (the feed waits for the writer instead).
class RecordingWriter {
  public:
    explicit RecordingWriter(MkvRecorderOptions options) : _recorder(std::move(options)) {}

    void start() { _recorder.start(); }
    void feed(std::vector<std::uint8_t> payload, std::int64_t pts_us) {
        auto frame = std::make_shared<RawFrame>();
        frame->payload = std::move(payload);
        frame->pts_us = pts_us;
        frame->sequence = ++_sequence;
        _recorder.feed(frame);
        const RecordingStatus s = _recorder.status();
        if (s.state == "failed") {
            throw std::runtime_error("the recording failed: " + s.reason.value_or("unknown"));
        }
    }
    MkvRecorder& recorder() { return _recorder; }

  private:
    MkvRecorder _recorder;
    std::int64_t _sequence = 0;  // caller's thread only
};

}  // namespace bind_ros2_parts

void bind_ros2(nb::module_& m) {
    using namespace bind_ros2_parts;
    using release = nb::call_guard<nb::gil_scoped_release>;
    m.def(
        "_split_eyes",
        [](nb::handle frame, int quality) {
            check_quality(quality);
            const ByteView view(frame);
            EyeJpegs eyes;
            {
                nb::gil_scoped_release unlocked;
                eyes = split_eyes(view.bytes(), quality);
            }
            return nb::make_tuple(to_bytes(eyes.left), to_bytes(eyes.right), eyes.left_lossless,
                                  eyes.right_lossless);
        },
        nb::arg("jpeg"), nb::arg("quality") = 95,
        "(left, right, left_lossless, right_lossless): the eyes of a side-by-side JPEG, cut "
        "block-exactly where the block grid allows, else re-encoded at `quality`.");
    m.def(
        "_join_eyes",
        [](nb::handle left, nb::handle right, int quality) {
            check_quality(quality);
            const bool encoded = !nb::hasattr(left, "shape") && !nb::hasattr(right, "shape") &&
                                 PyObject_CheckBuffer(left.ptr()) &&
                                 PyObject_CheckBuffer(right.ptr());
            JoinedJpeg joined;
            if (encoded) {
                const ByteView l(left), r(right);
                const auto lb = l.bytes(), rb = r.bytes();
                const bool jpegs = lb.size() > 2 && rb.size() > 2 && lb[0] == 0xFF &&
                                   lb[1] == 0xD8 && rb[0] == 0xFF && rb[1] == 0xD8;
                if (jpegs) {
                    nb::gil_scoped_release unlocked;
                    joined = join_eyes(lb, rb, quality);
                    return std::make_pair(to_bytes(joined.jpeg), joined.lossless);
                }
            }
            const cv::Mat l = eye_image(left), r = eye_image(right);
            {
                nb::gil_scoped_release unlocked;
                joined.jpeg = join_images(l, r, quality);
            }
            return std::make_pair(to_bytes(joined.jpeg), false);
        },
        nb::arg("left"), nb::arg("right"), nb::arg("quality") = 95,
        "(jpeg, lossless): one side-by-side JPEG of two eyes, each encoded bytes (JPEG, PNG) or "
        "an 8-bit BGR or grey array; two JPEGs are joined block-exactly where they allow it.");
    m.def(
        "_decode_image",
        [](nb::handle data) {
            const ByteView view(data);
            return mat_to_numpy(decode_image(view.bytes()));
        },
        nb::arg("data"), "An encoded image (JPEG, PNG) as an 8-bit BGR array.");
    m.def(
        "_rectification",
        [](const PyCalibration& c, nb::handle eye_size) {
            const HeightWidth size = hw_from(eye_size);
            std::shared_ptr<const Rectification> r;
            {
                nb::gil_scoped_release unlocked;
                r = c.ptr->rectification(size);
            }
            nb::dict d;
            d["K1"] = matrix(r->K1);
            d["D1"] = matrix(r->D1);
            d["K2"] = matrix(r->K2);
            d["D2"] = matrix(r->D2);
            d["R1"] = matrix(r->R1);
            d["R2"] = matrix(r->R2);
            d["P1"] = matrix(r->P1);
            d["P2"] = matrix(r->P2);
            d["baseline_m"] = r->baseline_m;
            return d;
        },
        nb::arg("calibration"), nb::arg("eye_size"),
        "The rectification the pipeline uses for eyes of (height, width): K1, D1, K2, D2 (the "
        "intrinsics at that size), R1, R2, P1, P2 (stereoRectify's) and baseline_m.");

    m.def(
        "_rectify_left",
        [](const PyCalibration& c, nb::handle eye) {
            const cv::Mat image = numpy_to_mat(eye, /*as_image=*/true);
            cv::Mat out;
            {
                nb::gil_scoped_release unlocked;
                out = c.ptr->rectification({image.rows, image.cols})->rectify(image, false);
            }
            return mat_to_numpy(out);
        },
        nb::arg("calibration"), nb::arg("eye"),
        "The left eye (BGR) rectified as the pipeline rectifies it.");

    nb::class_<RecordingWriter>(m, "_RecordingWriter",
                                "The kit's recorder fed with encoded frames from Python.")
        .def(
            "__init__",
            [](RecordingWriter* self, const std::filesystem::path& path, int width, int height,
               nb::handle camera_info_payload, nb::handle camera_controls, std::string camera_name,
               std::string camera_serial, std::optional<double> fps,
               std::optional<std::int64_t> t0_utc_ns, std::string source_fourcc) {
                MkvRecorderOptions o;
                o.path = path.string();
                o.width = width;
                o.height = height;
                o.camera_info_payload = to_json(camera_info_payload);
                if (!camera_controls.is_none()) o.camera_controls = to_json(camera_controls);
                o.camera_name = std::move(camera_name);
                o.camera_serial = std::move(camera_serial);
                o.fps = fps;
                o.source_fourcc = std::move(source_fourcc);
                o.t0_utc_ns_provider = [t0_utc_ns] { return t0_utc_ns; };
                o.wait_when_full = true;
                new (self) RecordingWriter(std::move(o));
            },
            nb::arg("path"), nb::kw_only(), nb::arg("width"), nb::arg("height"),
            nb::arg("camera_info_payload"), nb::arg("camera_controls") = nb::none(),
            nb::arg("camera_name") = "", nb::arg("camera_serial") = "", nb::arg("fps") = nb::none(),
            nb::arg("t0_utc_ns") = nb::none(), nb::arg("source_fourcc") = "MJPG")
        .def("start", &RecordingWriter::start, release())
        .def(
            "feed",
            [](RecordingWriter& w, nb::bytes payload, std::int64_t pts_us) {
                const auto* b = static_cast<const std::uint8_t*>(payload.data());
                std::vector<std::uint8_t> bytes(b, b + payload.size());
                nb::gil_scoped_release unlocked;
                w.feed(std::move(bytes), pts_us);
            },
            nb::arg("payload"), nb::arg("pts_us"),
            "Queues one frame at `pts_us` (the first frame fed is the recording's time 0).")
        .def(
            "write_calibration_update",
            [](RecordingWriter& w, nb::handle calibration, std::int64_t pts_us) {
                const Json dict = to_json(calibration);
                nb::gil_scoped_release unlocked;
                w.recorder().write_calibration_update(dict, pts_us);
            },
            nb::arg("calibration_dict"), nb::arg("pts_us"))
        .def(
            "write_camera_state",
            [](RecordingWriter& w, nb::handle controls, std::int64_t pts_us) {
                const Json dict = to_json(controls);
                nb::gil_scoped_release unlocked;
                w.recorder().write_camera_state(dict, pts_us);
            },
            nb::arg("controls"), nb::arg("pts_us"))
        .def("stop", [](RecordingWriter& w) {
            RecordingResult r;
            {
                nb::gil_scoped_release unlocked;
                r = w.recorder().stop();
            }
            return nb::cast<nb::dict>(from_json(r.to_json()));
        });
}

}  // namespace kelvo::py
