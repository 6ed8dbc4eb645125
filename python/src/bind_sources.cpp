// Frame sources: the common interface, MkvReplay and LiveCapture. Every call
// that can block or takes a kit lock runs with the interpreter lock released.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "kelvo/errors.hpp"
#include "kelvo/sources/live_capture.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "py_callback.hpp"
#include "records.hpp"
#include "sources.hpp"

namespace kelvo::py {

namespace {

using release = nb::call_guard<nb::gil_scoped_release>;

std::optional<PyRawFrame> wrap(FramePtr frame) {
    if (!frame) return std::nullopt;
    return PyRawFrame{std::move(frame)};
}

CameraInfo open_source(PySource& s) {
    CameraInfo info;
    {
        nb::gil_scoped_release unlocked;
        info = s.impl->open();
    }
    std::weak_ptr<FrameSource> weak = s.impl;
    stop_at_exit(ExitOrder::source, s.impl, [weak] {
        if (auto source = weak.lock()) source->close();
    });
    return info;
}

/// The next frame, polling so Ctrl-C reaches Python; StopIteration at the end.
PyRawFrame next_frame(PySource& s) {
    for (;;) {
        FramePtr frame;
        bool ended = false;
        {
            nb::gil_scoped_release unlocked;
            frame = s.impl->grab(0.1);
            ended = !frame && s.impl->at_end();
        }
        if (frame) return {std::move(frame)};
        if (ended) throw nb::stop_iteration();
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

void add_fanout(PySource& s, nb::callable cb) {
    auto fn = std::make_shared<const PyRef>(cb);
    auto kit_cb = make_frame_callback([fn](const FramePtr& frame) {
        call_python(fn, [&] { return nb::cast(PyRawFrame{frame}); });
    });
    {
        nb::gil_scoped_release unlocked;
        s.impl->add_fanout(kit_cb);
    }
    s.callbacks.emplace_back(std::move(fn), std::move(kit_cb));
}

void remove_fanout(PySource& s, nb::handle cb) {
    for (auto it = s.callbacks.begin(); it != s.callbacks.end(); ++it) {
        if (!it->first->get().is(cb)) continue;
        auto entry = std::move(*it);
        s.callbacks.erase(it);
        nb::gil_scoped_release unlocked;
        s.impl->remove_fanout(entry.second);
        return;  // `entry` drops the callable once the lock is back
    }
}

nb::object decode(const PySource& s, nb::handle payload, int width, int height) {
    cv::Mat image;
    if (nb::isinstance<PyRawFrame>(payload)) {
        FramePtr frame = nb::cast<const PyRawFrame&>(payload).frame;
        nb::gil_scoped_release unlocked;
        image =
            s.impl->decode_to_bgr({frame->payload.data(), frame->payload.size()}, width, height);
    } else {
        nb::bytes bytes(nb::steal(PyBytes_FromObject(payload.ptr())));
        if (!bytes.is_valid()) throw nb::python_error();
        const auto* data = static_cast<const std::uint8_t*>(bytes.data());
        nb::gil_scoped_release unlocked;
        image = s.impl->decode_to_bgr({data, bytes.size()}, width, height);
    }
    return mat_to_numpy(image);
}

void bind_frame_source(nb::module_& m) {
    nb::class_<PySource>(m, "FrameSource", "Base of every frame source.")
        .def("open", &open_source, "Opens the source; returns its CameraInfo.")
        .def(
            "grab", [](PySource& s, double timeout) { return wrap(s.impl->grab(timeout)); },
            nb::arg("timeout") = 1.0, release(),
            "The next frame, or None when none arrived within `timeout` seconds.")
        .def(
            "close", [](PySource& s) { s.impl->close(); }, release())
        .def("add_fanout", &add_fanout, nb::arg("cb"),
             "Calls cb(frame) for every frame, on the source's pump thread.")
        .def("remove_fanout", &remove_fanout, nb::arg("cb"))
        .def(
            "get_pump_stats", [](PySource& s) { return s.impl->get_pump_stats(); }, release())
        .def(
            "list_camera_controls", [](PySource& s) { return s.impl->list_camera_controls(); },
            release())
        .def("decode_to_bgr", &decode, nb::arg("payload"), nb::arg("width") = 0,
             nb::arg("height") = 0,
             "Decodes a frame (or bytes) of this source's fourcc into an H x W x 3 BGR array.")
        .def_prop_ro(
            "is_live", [](const PySource& s) { return s.impl->is_live(); }, release())
        .def_prop_ro(
            "is_seekable", [](const PySource& s) { return s.impl->is_seekable(); }, release())
        .def_prop_ro(
            "has_pump", [](const PySource& s) { return s.impl->has_pump(); }, release())
        .def_prop_ro(
            "at_end", [](const PySource& s) { return s.impl->at_end(); }, release())
        .def_prop_ro(
            "fourcc", [](const PySource& s) { return s.impl->fourcc(); }, release())
        .def_prop_ro(
            "mode_slug", [](const PySource& s) { return s.impl->mode_slug(); }, release())
        .def_prop_ro(
            "t0_monotonic_ns", [](const PySource& s) { return s.impl->t0_monotonic_ns(); },
            release())
        .def_prop_ro("base_calibration",
                     [](const PySource& s) {
                         CalibrationPtr c;
                         {
                             nb::gil_scoped_release unlocked;
                             c = s.impl->base_calibration();
                         }
                         return wrap_calibration(std::move(c));
                     })
        .def_prop_ro("active_calibration",
                     [](const PySource& s) {
                         CalibrationPtr c;
                         {
                             nb::gil_scoped_release unlocked;
                             c = s.impl->active_calibration();
                         }
                         return wrap_calibration(std::move(c));
                     })
        .def("__enter__",
             [](nb::handle self) {
                 open_source(nb::cast<PySource&>(self));
                 return nb::borrow(self);
             })
        .def("__exit__",
             [](PySource& s, nb::args) {
                 nb::gil_scoped_release unlocked;
                 s.impl->close();
             })
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &next_frame);
}

struct PyMkvReplay : PySource {
    MkvReplay& replay() const { return static_cast<MkvReplay&>(*impl); }
};

void bind_mkv_replay(nb::module_& m) {
    using R = PyMkvReplay;
    nb::class_<R, PySource>(m, "MkvReplay", "A recording replayed as a frame source.")
        .def(
            "__init__",
            [](R* self, const std::string& path, std::string replay_mode, bool loop,
               bool build_frame_index) {
                std::shared_ptr<MkvReplay> replay;
                {
                    nb::gil_scoped_release unlocked;
                    replay = std::make_shared<MkvReplay>(
                        path, MkvReplayOptions{.replay_mode = std::move(replay_mode),
                                               .loop = loop,
                                               .build_frame_index = build_frame_index});
                }
                new (self) R{{std::move(replay), {}}};
            },
            nb::arg("path"), nb::arg("replay_mode") = "realtime", nb::arg("loop") = false,
            nb::arg("build_frame_index") = true)
        .def_prop_ro("is_pausable", [](const R& r) { return r.replay().is_pausable(); })
        .def_prop_ro(
            "is_paused", [](const R& r) { return r.replay().is_paused(); }, release())
        .def(
            "pause", [](R& r) { r.replay().pause(); }, release())
        .def(
            "resume", [](R& r) { r.replay().resume(); }, release())
        .def(
            "seek_relative_us",
            [](R& r, std::int64_t pts_us) { r.replay().seek_relative_us(pts_us); },
            nb::arg("pts_us"), release())
        .def(
            "step_one_forward", [](R& r) { r.replay().step_one_forward(); }, release())
        .def(
            "step_one_backward", [](R& r) { r.replay().step_one_backward(); }, release())
        .def_prop_ro(
            "duration_us", [](const R& r) { return r.replay().duration_us(); }, release())
        .def_prop_ro(
            "t0_utc_ns", [](const R& r) { return r.replay().t0_utc_ns(); }, release())
        .def_prop_ro(
            "clock_domain", [](const R& r) { return r.replay().clock_domain(); }, release())
        .def_prop_ro("camera_controls_snapshot",
                     [](const R& r) {
                         std::optional<Json> snapshot;
                         {
                             nb::gil_scoped_release unlocked;
                             snapshot = r.replay().camera_controls_snapshot();
                         }
                         return snapshot ? from_json(*snapshot) : nb::none();
                     })
        .def(
            "frame_index", [](const R& r) { return r.replay().frame_index(); }, release())
        .def_prop_ro(
            "current_frame_idx", [](const R& r) { return r.replay().current_frame_idx(); },
            release())
        .def(
            "attachment_names", [](const R& r) { return r.replay().attachment_names(); }, release())
        .def("embedded_camera_info",
             [](const R& r) {
                 std::optional<Json> info;
                 {
                     nb::gil_scoped_release unlocked;
                     info = r.replay().embedded_camera_info();
                 }
                 return info ? from_json(*info) : nb::none();
             })
        .def("calibration_history",
             [](const R& r) {
                 std::vector<std::pair<std::int64_t, Json>> history;
                 {
                     nb::gil_scoped_release unlocked;
                     history = r.replay().calibration_history();
                 }
                 nb::list out;
                 for (const auto& [t, j] : history) out.append(nb::make_tuple(t, from_json(j)));
                 return out;
             })
        .def("camera_state_history", [](const R& r) {
            std::vector<std::pair<std::int64_t, Json>> history;
            {
                nb::gil_scoped_release unlocked;
                history = r.replay().camera_state_history();
            }
            nb::list out;
            for (const auto& [t, j] : history) out.append(nb::make_tuple(t, from_json(j)));
            return out;
        });
}

struct PyLiveCapture : PySource {
    LiveCapture& capture() const { return static_cast<LiveCapture&>(*impl); }
};

std::vector<std::pair<std::string, double>> control_values(nb::handle values) {
    std::vector<std::pair<std::string, double>> out;
    if (values.is_none()) return out;
    if (nb::isinstance<nb::dict>(values)) {
        for (auto [k, v] : nb::borrow<nb::dict>(values)) {
            out.emplace_back(nb::cast<std::string>(k), nb::cast<double>(v));
        }
        return out;
    }
    return nb::cast<std::vector<std::pair<std::string, double>>>(values);
}

void bind_live_capture(nb::module_& m) {
    using L = PyLiveCapture;
    nb::class_<CameraControls>(m, "CameraControls", "A camera's control handle.")
        .def("get", &CameraControls::get, nb::arg("name"), release())
        .def("set", &CameraControls::set, nb::arg("name"), nb::arg("value"), release())
        .def("close", &CameraControls::close, release());

    nb::class_<L, PySource>(m, "LiveCapture", "The frame source of an attached camera.")
        .def(
            "__init__",
            [](L* self, nb::handle camera_info, std::optional<CaptureMode> mode,
               nb::handle initial_controls, nb::handle calibration) {
                LiveCaptureOptions options{.mode = std::move(mode),
                                           .initial_controls = control_values(initial_controls)};
                // A Calibration, or the path of a calibration file in the kit's JSON.
                if (!calibration.is_none()) {
                    options.calibration =
                        nb::isinstance<PyCalibration>(calibration)
                            ? unwrap_calibration(calibration)
                            : load_calibration_file(nb::cast<std::string>(nb::str(calibration)));
                }
                std::shared_ptr<LiveCapture> capture;
                if (nb::isinstance<KelvoCameraInfo>(camera_info)) {
                    auto info = nb::cast<KelvoCameraInfo>(camera_info);
                    nb::gil_scoped_release unlocked;
                    capture = std::make_shared<LiveCapture>(std::move(info), std::move(options));
                } else if (nb::isinstance<nb::dict>(camera_info)) {
                    auto record = to_json(camera_info);
                    nb::gil_scoped_release unlocked;
                    capture = LiveCapture::from_record(record, std::move(options));
                } else {
                    const auto type =
                        nb::cast<std::string>(nb::handle(camera_info.type()).attr("__name__"));
                    throw TypeError("LiveCapture expects a KelvoCameraInfo, got " + type +
                                    ". Resolve the camera via list_connected_kelvo_cameras() / "
                                    "get_connected_kelvo_camera_by_serial(serial) first.");
                }
                new (self) L{{std::move(capture), {}}};
            },
            nb::arg("camera_info"), nb::arg("mode") = nb::none(),
            nb::arg("initial_controls") = nb::none(), nb::arg("calibration") = nb::none())
        .def_prop_ro("os_id", [](const L& l) { return l.capture().os_id(); })
        .def_prop_ro("mode", [](const L& l) -> CaptureMode { return l.capture().mode(); })
        .def_prop_ro("camera_info",
                     [](const L& l) -> KelvoCameraInfo { return l.capture().camera_info(); })
        .def_prop_ro(
            "camera_controls", [](const L& l) { return l.capture().camera_controls(); }, release());
}

}  // namespace

void bind_sources(nb::module_& m) {
    bind_frame_source(m);
    bind_mkv_replay(m);
    bind_live_capture(m);
}

}  // namespace kelvo::py
