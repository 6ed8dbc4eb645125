// Records: frames, camera descriptions, the catalogue, calibrations.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "kelvo/cameras.hpp"
#include "kelvo/cameras/camera_spec.hpp"
#include "kelvo/cameras/kelvo_corvan.hpp"
#include "kelvo/cameras/kelvo_fenwa.hpp"
#include "records.hpp"

namespace kelvo::py {

nb::object wrap_calibration(CalibrationPtr calibration) {
    if (!calibration) return nb::none();
    return nb::cast(PyCalibration{std::move(calibration)});
}

CalibrationPtr unwrap_calibration(nb::handle calibration) {
    if (calibration.is_none()) return nullptr;
    return nb::cast<const PyCalibration&>(calibration).ptr;
}

namespace {

template <typename T>
nb::tuple tuple_of(const std::shared_ptr<const std::vector<T>>& items) {
    nb::list out;
    if (items) {
        for (const auto& item : *items) out.append(nb::cast(item));
    }
    return nb::tuple(out);
}

template <typename T>
std::shared_ptr<const std::vector<T>> shared_list(nb::handle seq) {
    return std::make_shared<const std::vector<T>>(nb::cast<std::vector<T>>(seq));
}

nb::object numpy_matx(const double* values, int rows, int cols) {
    cv::Mat m(rows, cols, CV_64F);
    std::copy(values, values + rows * cols, m.ptr<double>());
    return mat_to_numpy(m);
}

// A RawFrame exports its payload through the buffer protocol: a view holds
// the Python object (and so the frame), nothing is copied or allocated
// besides the view itself. A frame's payload never changes.
int raw_frame_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    const FramePtr& frame = nb::inst_ptr<PyRawFrame>(self)->frame;
    if (!frame) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_BufferError, "the frame holds no payload");
        return -1;
    }
    return PyBuffer_FillInfo(view, self, const_cast<std::uint8_t*>(frame->payload.data()),
                             static_cast<Py_ssize_t>(frame->payload.size()), /*readonly=*/1, flags);
}

PyType_Slot RAW_FRAME_SLOTS[] = {{Py_bf_getbuffer, reinterpret_cast<void*>(raw_frame_getbuffer)},
                                 {0, nullptr}};

void bind_frames(nb::module_& m) {
    nb::class_<PyRawFrame>(m, "RawFrame", "One captured stereo frame, still encoded.",
                           nb::type_slots(RAW_FRAME_SLOTS))
        .def(
            "__init__",
            [](PyRawFrame* self, nb::bytes payload, std::int64_t pts_us, std::int64_t sequence,
               std::optional<std::int64_t> source_frame_idx) {
                auto frame = std::make_shared<RawFrame>();
                const auto* bytes = static_cast<const std::uint8_t*>(payload.data());
                frame->payload = std::vector<std::uint8_t>(bytes, bytes + payload.size());
                frame->pts_us = pts_us;
                frame->sequence = sequence;
                frame->source_frame_idx = source_frame_idx;
                new (self) PyRawFrame{std::move(frame)};
            },
            nb::kw_only(), nb::arg("payload"), nb::arg("pts_us"), nb::arg("sequence"),
            nb::arg("source_frame_idx") = nb::none())
        .def_prop_ro(
            "payload",
            [](nb::handle self) {
                PyObject* view = PyMemoryView_FromObject(self.ptr());
                if (view == nullptr) throw nb::python_error();
                return nb::steal<nb::memoryview>(view);
            },
            "The frame's bytes as a read-only memoryview that keeps the frame alive.")
        .def_prop_ro("pts_us", [](const PyRawFrame& f) { return f.frame->pts_us; })
        .def_prop_ro("sequence", [](const PyRawFrame& f) { return f.frame->sequence; })
        .def_prop_ro("source_frame_idx",
                     [](const PyRawFrame& f) { return f.frame->source_frame_idx; })
        .def_prop_ro(
            "calibration",
            [](const PyRawFrame& f) { return wrap_calibration(f.frame->calibration); },
            "The calibration in force for this frame (None without one).")
        .def_prop_ro(
            "camera_state",
            [](const PyRawFrame& f) {
                return f.frame->camera_state ? from_json(*f.frame->camera_state) : nb::none();
            },
            "The camera-state snapshot in force for this frame (None where the source keeps none).")
        .def("__repr__", [](const PyRawFrame& f) {
            return "RawFrame(sequence=" + std::to_string(f.frame->sequence) +
                   ", pts_us=" + std::to_string(f.frame->pts_us) + ", source_frame_idx=" +
                   (f.frame->source_frame_idx ? std::to_string(*f.frame->source_frame_idx)
                                              : "None") +
                   ", size=" + std::to_string(f.frame->payload.size()) + ")";
        });

    nb::class_<CameraInfo> info(m, "CameraInfo", "What a source reports when it opens.");
    info.def(
        "__init__",
        [](CameraInfo* self, std::string os_id, std::string camera_name, std::string camera_serial,
           int width, int height, double fps, bool is_live, std::string clock_domain,
           std::optional<std::string> sku) {
            new (self) CameraInfo{std::move(os_id),
                                  std::move(camera_name),
                                  std::move(camera_serial),
                                  width,
                                  height,
                                  fps,
                                  is_live,
                                  std::move(clock_domain),
                                  std::move(sku)};
        },
        nb::kw_only(), nb::arg("os_id"), nb::arg("camera_name"), nb::arg("camera_serial"),
        nb::arg("width"), nb::arg("height"), nb::arg("fps"), nb::arg("is_live"),
        nb::arg("clock_domain") = "linux_monotonic", nb::arg("sku") = nb::none());
    RecordBinder<CameraInfo>(info)
        .field("os_id", &CameraInfo::os_id)
        .field("camera_name", &CameraInfo::camera_name)
        .field("camera_serial", &CameraInfo::camera_serial)
        .field("width", &CameraInfo::width)
        .field("height", &CameraInfo::height)
        .field("fps", &CameraInfo::fps)
        .field("is_live", &CameraInfo::is_live)
        .field("clock_domain", &CameraInfo::clock_domain)
        .field("sku", &CameraInfo::sku)
        .finish();
    info.def("to_dict", [](const CameraInfo& i) { return from_json(i.to_json()); })
        .def("__eq__",
             [](const CameraInfo& a, const CameraInfo& b) { return a.to_json() == b.to_json(); });
}

void bind_catalogue(nb::module_& m) {
    nb::class_<CaptureMode> mode(m, "CaptureMode", "One capture format of a camera (immutable).");
    mode.def(nb::init<int, int, double, std::string, bool, bool, bool>(), nb::kw_only(),
             nb::arg("width"), nb::arg("height"), nb::arg("fps"), nb::arg("fourcc"),
             nb::arg("stereo"), nb::arg("is_supported") = true, nb::arg("is_default") = false);
    RecordBinder<CaptureMode>(mode)
        .field("width", &CaptureMode::width)
        .field("height", &CaptureMode::height)
        .field("fps", &CaptureMode::fps)
        .field("fourcc", &CaptureMode::fourcc)
        .field("stereo", &CaptureMode::stereo)
        .field("is_supported", &CaptureMode::is_supported)
        .field("is_default", &CaptureMode::is_default)
        .finish();
    mode.def_prop_ro("slug", &CaptureMode::slug)
        .def("to_dict", [](const CaptureMode& c) { return from_json(c.to_json()); })
        .def("__eq__", [](const CaptureMode& a, const CaptureMode& b) { return a == b; })
        .def("__hash__", [](const CaptureMode& c) { return std::hash<std::string>()(c.slug()); })
        .def("__repr__", [](const CaptureMode& c) { return "CaptureMode('" + c.slug() + "')"; });

    nb::class_<CameraControl> control(m, "CameraControl",
                                      "One camera control with its range and menu (immutable).");
    RecordBinder<CameraControl>(control)
        .field("name", &CameraControl::name)
        .field("label", &CameraControl::label)
        .field("kind", &CameraControl::kind)
        .field("value_type", &CameraControl::value_type)
        .field("unit", &CameraControl::unit)
        .field("auto_companion", &CameraControl::auto_companion)
        .field("updatable_by_auto", &CameraControl::updatable_by_auto)
        .field("enum_values", &CameraControl::enum_values)
        .field("default", &CameraControl::default_value)
        .field("min", &CameraControl::min)
        .field("max", &CameraControl::max)
        .field("step", &CameraControl::step)
        .field("current_value", &CameraControl::current_value)
        .finish();
    control.def("to_dict", [](const CameraControl& c) { return from_json(c.to_json()); })
        .def("__eq__", [](const CameraControl& a, const CameraControl& b) { return a == b; })
        .def("__repr__", [](const CameraControl& c) { return "CameraControl('" + c.name + "')"; });
    m.def(
        "check_camera_control_value",
        [](const CameraControl& c, nb::handle value) {
            return check_camera_control_value(c, to_json(value));
        },
        nb::arg("control"), nb::arg("value"),
        "The integer the camera takes for `value` (a number, or True/False for a switch); "
        "ValueError when it is out of range, off the step or not an entry of the menu.");

    nb::class_<CameraSpec> spec(m, "CameraSpec", "One camera family (immutable).");
    RecordBinder<CameraSpec>(spec)
        .field(
            "skus", [](const CameraSpec& s) { return nb::object(tuple_of(s.skus)); },
            [](CameraSpec& s, nb::handle v) { s.skus = shared_list<std::string>(v); })
        .field(
            "modes", [](const CameraSpec& s) { return nb::object(tuple_of(s.modes)); },
            [](CameraSpec& s, nb::handle v) { s.modes = shared_list<CaptureMode>(v); })
        .field(
            "controls", [](const CameraSpec& s) { return nb::object(tuple_of(s.controls)); },
            [](CameraSpec& s, nb::handle v) { s.controls = shared_list<CameraControl>(v); })
        .field(
            "windows_controls",
            [](const CameraSpec& s) { return nb::object(tuple_of(s.windows_controls)); },
            [](CameraSpec& s, nb::handle v) { s.windows_controls = shared_list<CameraControl>(v); })
        .finish();
    spec.def_prop_ro("default_mode", &CameraSpec::default_mode)
        .def_prop_ro("platform_controls",
                     [](const CameraSpec& s) { return nb::tuple(nb::cast(s.platform_controls())); })
        .def("mode_by_slug", &CameraSpec::mode_by_slug, nb::arg("slug"))
        .def("to_dict", [](const CameraSpec& s) { return from_json(s.to_json()); })
        .def("__eq__",
             [](const CameraSpec& a, const CameraSpec& b) { return a.to_json() == b.to_json(); });

    m.attr("KELVO_CORVAN") = nb::cast(KELVO_CORVAN);
    m.attr("KELVO_FENWA") = nb::cast(KELVO_FENWA);
    m.def(
        "spec_by_sku",
        [](const std::string& sku) -> std::optional<CameraSpec> {
            auto spec = kelvo::spec_by_sku(sku);
            if (!spec) return std::nullopt;
            return *spec;
        },
        nb::arg("sku"), "The CameraSpec listing this product code, or None.");
    m.def(
        "catalogue",
        [] {
            nb::dict out;
            for (const auto& [name, spec] : kelvo::catalogue()) out[name.c_str()] = *spec;
            return out;
        },
        "Every catalogue entry by its published name.");
}

void bind_calibration(nb::module_& m) {
    nb::class_<PyCalibration>(m, "Calibration", "A stereo calibration (immutable).")
        .def_static(
            "from_dict",
            [](nb::handle dict) { return PyCalibration{Calibration::from_dict(to_json(dict))}; },
            nb::arg("d"), "Builds one from its dictionary form; ValueError when malformed.")
        .def("to_dict", [](const PyCalibration& c) { return from_json(c.ptr->to_dict()); })
        .def_prop_ro("image_size",
                     [](const PyCalibration& c) { return hw_tuple(c.ptr->image_size()); })
        .def_prop_ro("R", [](const PyCalibration& c) { return numpy_matx(c.ptr->R().val, 3, 3); })
        .def_prop_ro("T", [](const PyCalibration& c) { return numpy_matx(c.ptr->T().val, 1, 3); })
        .def("__eq__",
             [](const PyCalibration& a, nb::handle b) {
                 if (!nb::isinstance<PyCalibration>(b)) return false;
                 return a.ptr->to_dict() == nb::cast<const PyCalibration&>(b).ptr->to_dict();
             })
        .def("__repr__", [](const PyCalibration& c) {
            const auto size = c.ptr->image_size();
            return "Calibration(image_size=(" + std::to_string(size.height) + ", " +
                   std::to_string(size.width) + "))";
        });

    nb::class_<CanvasLayout> layout(m, "CanvasLayout",
                                    "Where an image lies inside an inference canvas.");
    layout.def(
        "__init__",
        [](CanvasLayout* self, int canvas_w, int canvas_h, int pad_x, int pad_y, int valid_w,
           int valid_h, double scale, int source_w, int source_h) {
            new (self) CanvasLayout{canvas_w, canvas_h, pad_x,    pad_y,   valid_w,
                                    valid_h,  scale,    source_w, source_h};
        },
        nb::kw_only(), nb::arg("canvas_w"), nb::arg("canvas_h"), nb::arg("pad_x") = 0,
        nb::arg("pad_y") = 0, nb::arg("valid_w"), nb::arg("valid_h"), nb::arg("scale") = 1.0,
        nb::arg("source_w") = 0, nb::arg("source_h") = 0);
    RecordBinder<CanvasLayout>(layout)
        .field("canvas_w", &CanvasLayout::canvas_w)
        .field("canvas_h", &CanvasLayout::canvas_h)
        .field("pad_x", &CanvasLayout::pad_x)
        .field("pad_y", &CanvasLayout::pad_y)
        .field("valid_w", &CanvasLayout::valid_w)
        .field("valid_h", &CanvasLayout::valid_h)
        .field("scale", &CanvasLayout::scale)
        .field("source_w", &CanvasLayout::source_w)
        .field("source_h", &CanvasLayout::source_h)
        .finish();
    m.def(
        "fit_layout",
        [](nb::handle source, nb::handle canvas) {
            return fit_layout(hw_from(source), hw_from(canvas));
        },
        nb::arg("source"), nb::arg("canvas"),
        "The layout fitting a (height, width) image into a (height, width) canvas.");
}

void bind_camera_info(nb::module_& m) {
    nb::class_<KelvoCameraInfo> info(m, "KelvoCameraInfo",
                                     "A connected camera as discovery resolves it (immutable).");
    info.def(
        "__init__",
        [](KelvoCameraInfo* self, std::string os_id, std::string sku, std::string model_name,
           std::string serial, nb::handle base_calibration) {
            auto spec = kelvo::spec_by_sku(sku);
            new (self) KelvoCameraInfo{std::move(os_id),  std::move(sku),
                                       std::move(spec),   std::move(model_name),
                                       std::move(serial), unwrap_calibration(base_calibration)};
        },
        nb::kw_only(), nb::arg("os_id"), nb::arg("sku") = "", nb::arg("model_name") = "",
        nb::arg("serial") = "", nb::arg("base_calibration") = nb::none());
    RecordBinder<KelvoCameraInfo>(info)
        .field("os_id", &KelvoCameraInfo::os_id)
        .field(
            "sku", [](const KelvoCameraInfo& i) { return nb::cast(i.sku); },
            [](KelvoCameraInfo& i, nb::handle v) {
                i.sku = nb::cast<std::string>(v);
                i.spec = kelvo::spec_by_sku(i.sku);
            })
        .field("model_name", &KelvoCameraInfo::model_name)
        .field("serial", &KelvoCameraInfo::serial)
        .field(
            "base_calibration",
            [](const KelvoCameraInfo& i) { return wrap_calibration(i.base_calibration); },
            [](KelvoCameraInfo& i, nb::handle v) { i.base_calibration = unwrap_calibration(v); })
        .finish();
    info.def_prop_ro("spec",
                     [](const KelvoCameraInfo& i) -> std::optional<CameraSpec> {
                         if (!i.spec) return std::nullopt;
                         return *i.spec;
                     })
        .def("to_dict", [](const KelvoCameraInfo& i) { return from_json(i.to_dict()); })
        .def_static(
            "from_dict", [](nb::handle d) { return KelvoCameraInfo::from_dict(to_json(d)); },
            nb::arg("d"))
        .def("__repr__", [](const KelvoCameraInfo& i) {
            return "KelvoCameraInfo(os_id='" + i.os_id + "', sku='" + i.sku + "', serial='" +
                   i.serial + "')";
        });

    m.def(
        "list_connected_kelvo_cameras", [] { return list_connected_kelvo_cameras(); },
        nb::call_guard<nb::gil_scoped_release>(), "Every attached Kelvo camera.");
    m.def(
        "get_connected_kelvo_camera_by_serial",
        [](const std::string& serial) { return get_connected_kelvo_camera_by_serial(serial); },
        nb::arg("serial"), nb::call_guard<nb::gil_scoped_release>(),
        "The attached camera with this serial, or None.");
}

}  // namespace

void bind_records(nb::module_& m) {
    bind_frames(m);
    bind_catalogue(m);
    bind_calibration(m);
    bind_camera_info(m);
}

}  // namespace kelvo::py
