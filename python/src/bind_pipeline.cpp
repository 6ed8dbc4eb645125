// The frame pipeline, its packets and the recording controller.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/filesystem.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "kelvo/pipeline/pipeline.hpp"
#include "kelvo/pipeline/recording_manager.hpp"
#include "py_callback.hpp"
#include "records.hpp"
#include "sources.hpp"

namespace kelvo::py {

namespace {

using release = nb::call_guard<nb::gil_scoped_release>;

struct PyPacket {
    FramePacketPtr packet;
};

struct PyPipeline {
    ~PyPipeline() {
        nb::gil_scoped_release unlocked;  // stopping joins threads that may call Python
        impl.reset();
    }
    std::shared_ptr<Pipeline> impl;
};

struct PyRecordingManager {
    ~PyRecordingManager() {
        nb::gil_scoped_release unlocked;  // finishing a recording waits for its writer
        impl.reset();
    }
    std::shared_ptr<RecordingManager> impl;
};

std::optional<PyPacket> wrap(FramePacketPtr p) {
    if (!p) return std::nullopt;
    return PyPacket{std::move(p)};
}

nb::dict to_dict(const RecordingResult& r) {
    return nb::cast<nb::dict>(from_json(r.to_json()));
}

void start_pipeline(PyPipeline& p) {
    {
        nb::gil_scoped_release unlocked;
        p.impl->start();
    }
    std::weak_ptr<Pipeline> weak = p.impl;
    stop_at_exit(ExitOrder::pipeline, p.impl, [weak] {
        if (auto pipeline = weak.lock()) pipeline->stop();
    });
}

PyPacket next_packet(PyPipeline& p) {
    for (;;) {
        FramePacketPtr packet;
        bool over = false;
        {
            nb::gil_scoped_release unlocked;
            packet = p.impl->get_packet(0.1);
            over = !packet && (p.impl->is_finished() || !p.impl->is_running());
        }
        if (packet) return {std::move(packet)};
        if (over) throw nb::stop_iteration();
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
}

void bind_packet(nb::module_& m) {
    nb::class_<PyPacket>(m, "FramePacket", "One processed frame; maps share the kit's memory.")
        .def_prop_ro("sequence", [](const PyPacket& p) { return p.packet->sequence; })
        .def_prop_ro("pts_us", [](const PyPacket& p) { return p.packet->pts_us; })
        .def_prop_ro("source_frame_idx",
                     [](const PyPacket& p) { return p.packet->source_frame_idx; })
        .def_prop_ro("rectified_left",
                     [](const PyPacket& p) { return mat_to_numpy(p.packet->rectified_left); })
        .def_prop_ro("rectified_right",
                     [](const PyPacket& p) { return mat_to_numpy(p.packet->rectified_right); })
        .def_prop_ro("disparity",
                     [](const PyPacket& p) { return mat_to_numpy(p.packet->disparity); })
        .def_prop_ro("depth", [](const PyPacket& p) { return mat_to_numpy(p.packet->depth); })
        .def_prop_ro(
            "confidence", [](const PyPacket& p) { return mat_to_numpy(p.packet->confidence); },
            "uint8, the map's shape: 0 where the map is a hole (NaN), up to 255; None without "
            "a map (the pass-through) or with the \"confidence\" stream off.")
        .def_prop_ro("calibration",
                     [](const PyPacket& p) { return wrap_calibration(p.packet->calibration); })
        .def_prop_ro("camera_state",
                     [](const PyPacket& p) {
                         return p.packet->camera_state ? from_json(*p.packet->camera_state)
                                                       : nb::none();
                     })
        .def_prop_ro("layout", [](const PyPacket& p) { return p.packet->layout; })
        .def_prop_ro("timings", [](const PyPacket& p) { return timings_dict(p.packet->timings); });
}

std::vector<std::pair<std::string, int>> control_list(nb::handle controls) {
    if (controls.is_none()) return {};
    if (nb::isinstance<nb::dict>(controls)) {
        std::vector<std::pair<std::string, int>> out;
        for (auto [k, v] : nb::borrow<nb::dict>(controls)) {
            out.emplace_back(nb::cast<std::string>(k), nb::cast<int>(v));
        }
        return out;
    }
    return nb::cast<std::vector<std::pair<std::string, int>>>(controls);
}

void bind_pipeline_class(nb::module_& m) {
    nb::class_<PyPipeline>(m, "Pipeline", "Frames from a source to disparity or depth maps.")
        .def(
            "__init__",
            [](PyPipeline* self, PySource& source, std::string backend, std::string variant,
               nb::handle controls, std::string device, int nireq, bool do_models_cache,
               std::optional<std::filesystem::path> cache_dir, std::size_t queue_size,
               bool block_when_full, nb::handle on_packet, bool stop_at_end, bool manage_source,
               std::optional<CameraInfo> camera_info, double grab_timeout, bool rectified_images) {
                PipelineOptions options{.source = source.impl,
                                        .backend = std::move(backend),
                                        .variant = std::move(variant),
                                        .controls = control_list(controls),
                                        .engine = {.device = std::move(device),
                                                   .nireq = nireq,
                                                   .do_models_cache = do_models_cache,
                                                   .cache_dir = std::move(cache_dir)},
                                        .queue_size = queue_size,
                                        .block_when_full = block_when_full,
                                        .on_packet = {},
                                        .stop_at_end = stop_at_end,
                                        .manage_source = manage_source,
                                        .camera_info = std::move(camera_info),
                                        .grab_timeout_s = grab_timeout,
                                        .rectified_images = rectified_images};
                if (!on_packet.is_none()) {
                    auto fn = std::make_shared<const PyRef>(on_packet);
                    options.on_packet = [fn](const FramePacketPtr& packet) {
                        call_python(fn, [&] { return nb::cast(PyPacket{packet}); });
                    };
                }
                std::shared_ptr<Pipeline> pipeline;
                {
                    nb::gil_scoped_release unlocked;  // builds the back-end (may compile a network)
                    pipeline = std::make_shared<Pipeline>(std::move(options));
                }
                new (self) PyPipeline{std::move(pipeline)};
            },
            nb::arg("source"), nb::kw_only(), nb::arg("backend") = "stereo-bm",
            nb::arg("variant") = "", nb::arg("controls") = nb::none(), nb::arg("device") = "CPU",
            nb::arg("nireq") = 2, nb::arg("do_models_cache") = true,
            nb::arg("cache_dir") = nb::none(), nb::arg("queue_size") = 4,
            nb::arg("block_when_full") = false, nb::arg("on_packet") = nb::none(),
            nb::arg("stop_at_end") = false, nb::arg("manage_source") = true,
            nb::arg("camera_info") = nb::none(), nb::arg("grab_timeout") = 0.5,
            nb::arg("rectified_images") = true)
        .def("start", &start_pipeline)
        .def(
            "stop", [](PyPipeline& p) { p.impl->stop(); }, release())
        .def_prop_ro(
            "is_running", [](const PyPipeline& p) { return p.impl->is_running(); }, release())
        .def_prop_ro(
            "is_finished", [](const PyPipeline& p) { return p.impl->is_finished(); }, release())
        .def(
            "wait_finished",
            [](const PyPipeline& p, std::optional<double> timeout) {
                return p.impl->wait_finished(timeout.value_or(-1.0));
            },
            nb::arg("timeout") = nb::none(), release())
        .def(
            "get_packet",
            [](PyPipeline& p, double timeout) { return wrap(p.impl->get_packet(timeout)); },
            nb::arg("timeout") = 1.0, release())
        .def(
            "set_inference_control",
            [](PyPipeline& p, const std::string& name, int value) {
                p.impl->set_inference_control(name, value);
            },
            nb::arg("name"), nb::arg("value"), release())
        .def(
            "inference_control",
            [](const PyPipeline& p, const std::string& name) {
                return p.impl->inference_control(name);
            },
            nb::arg("name"), release())
        .def(
            "inference_controls", [](const PyPipeline& p) { return p.impl->inference_controls(); },
            release())
        .def(
            "set_stream_enabled",
            [](PyPipeline& p, const std::string& stream, bool enabled) {
                p.impl->set_stream_enabled(stream, enabled);
            },
            nb::arg("stream"), nb::arg("enabled"), release())
        .def(
            "is_stream_enabled",
            [](const PyPipeline& p, const std::string& stream) {
                return p.impl->is_stream_enabled(stream);
            },
            nb::arg("stream"), release())
        .def_prop_ro("backend_key", [](const PyPipeline& p) { return p.impl->backend_key(); })
        .def_prop_ro("variant", [](const PyPipeline& p) { return p.impl->variant(); })
        .def_prop_ro(
            "camera_info", [](const PyPipeline& p) { return p.impl->camera_info(); }, release())
        .def("stats",
             [](const PyPipeline& p) {
                 PipelineStats s;
                 {
                     nb::gil_scoped_release unlocked;
                     s = p.impl->stats();
                 }
                 nb::dict d;
                 d["frames_grabbed"] = s.frames_grabbed;
                 d["frames_emitted"] = s.frames_emitted;
                 d["frames_undecodable"] = s.frames_undecodable;
                 d["frames_failed"] = s.frames_failed;
                 d["packets_dropped"] = s.packets_dropped;
                 d["seconds"] = s.seconds;
                 d["fps"] = s.fps;
                 return d;
             })
        .def(
            "get_pump_stats", [](PyPipeline& p) { return p.impl->get_pump_stats(); }, release())
        .def(
            "set_recording_controller",
            [](PyPipeline& p, nb::handle manager) {
                std::shared_ptr<RecordingController> controller;
                if (!manager.is_none()) controller = nb::cast<PyRecordingManager&>(manager).impl;
                nb::gil_scoped_release unlocked;
                p.impl->set_recording_controller(std::move(controller));
            },
            nb::arg("manager").none())
        .def(
            "start_recording",
            [](PyPipeline& p, const std::filesystem::path& path, nb::handle camera_controls) {
                std::optional<Json> controls;
                if (!camera_controls.is_none()) controls = to_json(camera_controls);
                nb::gil_scoped_release unlocked;
                p.impl->start_recording(path, std::move(controls));
            },
            nb::arg("path"), nb::arg("camera_controls") = nb::none())
        .def(
            "pause_recording", [](PyPipeline& p) { p.impl->pause_recording(); }, release())
        .def(
            "resume_recording", [](PyPipeline& p) { p.impl->resume_recording(); }, release())
        .def("stop_recording",
             [](PyPipeline& p) {
                 RecordingResult r;
                 {
                     nb::gil_scoped_release unlocked;
                     r = p.impl->stop_recording();
                 }
                 return to_dict(r);
             })
        .def("recording_status",
             [](const PyPipeline& p) -> nb::object {
                 std::optional<RecordingStatus> s;
                 {
                     nb::gil_scoped_release unlocked;
                     s = p.impl->recording_status();
                 }
                 return s ? from_json(s->to_json()) : nb::none();
             })
        .def(
            "write_calibration_update",
            [](PyPipeline& p, nb::handle calibration, std::int64_t pts_us) {
                Json dict = to_json(calibration);
                nb::gil_scoped_release unlocked;
                p.impl->write_calibration_update(dict, pts_us);
            },
            nb::arg("calibration_dict"), nb::arg("pts_us"))
        .def("__enter__",
             [](nb::handle self) {
                 start_pipeline(nb::cast<PyPipeline&>(self));
                 return nb::borrow(self);
             })
        .def(
            "__exit__", [](PyPipeline& p, nb::args) { p.impl->stop(); }, release())
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", &next_packet);
}

void bind_recording_manager(nb::module_& m) {
    nb::class_<PyRecordingManager>(m, "RecordingManager",
                                   "Starts, pauses and stops recordings of a pipeline's source.")
        .def(
            "__init__",
            [](PyRecordingManager* self, PyPipeline& pipeline) {
                std::weak_ptr<Pipeline> weak = pipeline.impl;
                auto source = pipeline.impl->source();
                std::weak_ptr<FrameSource> weak_source = source;
                RecordingManagerOptions options{
                    .source = source,
                    .info_provider = [weak]() -> std::optional<CameraInfo> {
                        auto p = weak.lock();
                        return p ? p->camera_info() : std::nullopt;
                    },
                    // The camera's current values by name, as the recorder stores them.
                    .camera_controls_provider =
                        [weak_source]() {
                            Json values = Json::object();
                            auto s = weak_source.lock();
                            if (!s) return values;
                            for (const auto& c : s->list_camera_controls()) {
                                if (c.current_value) values[c.name] = *c.current_value;
                            }
                            return values;
                        },
                    .recorder_factory = {}};
                std::shared_ptr<RecordingManager> manager;
                {
                    nb::gil_scoped_release unlocked;
                    manager = std::make_shared<RecordingManager>(std::move(options));
                }
                std::weak_ptr<RecordingManager> weak_manager = manager;
                stop_at_exit(ExitOrder::recording, manager, [weak_manager] {
                    if (auto r = weak_manager.lock(); r && r->is_running()) r->stop();
                });
                new (self) PyRecordingManager{std::move(manager)};
            },
            nb::arg("pipeline"))
        .def_prop_ro(
            "is_running", [](const PyRecordingManager& r) { return r.impl->is_running(); },
            release())
        .def_prop_ro(
            "is_paused", [](const PyRecordingManager& r) { return r.impl->is_paused(); }, release())
        .def(
            "pause", [](PyRecordingManager& r) { r.impl->pause(); }, release())
        .def(
            "resume", [](PyRecordingManager& r) { r.impl->resume(); }, release())
        .def("status",
             [](const PyRecordingManager& r) -> nb::object {
                 std::optional<RecordingStatus> s;
                 {
                     nb::gil_scoped_release unlocked;
                     s = r.impl->status();
                 }
                 return s ? from_json(s->to_json()) : nb::none();
             })
        .def(
            "start",
            [](PyRecordingManager& r, const std::filesystem::path& path, nb::handle camera_controls,
               nb::handle camera_info_payload) {
                RecordingStartArgs args;
                if (!camera_controls.is_none()) args.camera_controls = to_json(camera_controls);
                if (!camera_info_payload.is_none()) {
                    args.camera_info_payload = to_json(camera_info_payload);
                }
                nb::gil_scoped_release unlocked;
                r.impl->start(path, std::move(args));
            },
            nb::arg("path"), nb::kw_only(), nb::arg("camera_controls") = nb::none(),
            nb::arg("camera_info_payload") = nb::none())
        .def("stop", [](PyRecordingManager& r) {
            RecordingResult result;
            {
                nb::gil_scoped_release unlocked;
                result = r.impl->stop();
            }
            return to_dict(result);
        });
}

}  // namespace

void bind_pipeline(nb::module_& m) {
    bind_packet(m);
    bind_pipeline_class(m);
    bind_recording_manager(m);
}

}  // namespace kelvo::py
