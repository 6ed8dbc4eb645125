// The inference framework: registry, variants, controls, back-end instances,
// futures and the OpenVINO engine.
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

#include "kelvo/cache_dir.hpp"
#include "kelvo/engines/openvino_runner.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/inference/registry.hpp"
#include "records.hpp"

namespace kelvo::py {

namespace {

using release = nb::call_guard<nb::gil_scoped_release>;

struct PyFuture {
    InferenceFuturePtr future;
};

struct PyInferenceClass {
    std::shared_ptr<const InferenceClass> cls;
};

struct PyInference {
    ~PyInference() {
        nb::gil_scoped_release unlocked;  // shutting an engine down waits for its runs
        impl.reset();
    }
    std::shared_ptr<DepthInferenceBase> impl;
};

struct PyEngine {
    ~PyEngine() {
        nb::gil_scoped_release unlocked;
        impl.reset();
    }
    std::shared_ptr<InferenceEngine> impl;
};

std::vector<cv::Mat> blobs_of(const nb::args& arrays) {
    std::vector<cv::Mat> blobs;
    for (nb::handle a : arrays) blobs.push_back(numpy_to_mat(a, false));
    return blobs;
}

PyFuture submit_to(const std::function<InferenceFuturePtr(const std::vector<cv::Mat>&)>& submit,
                   nb::args arrays) {
    auto blobs = blobs_of(arrays);
    nb::gil_scoped_release unlocked;  // blocks while every request is busy
    return {submit(blobs)};
}

nb::object future_get(const PyFuture& f, std::optional<double> timeout) {
    cv::Mat out;
    {
        nb::gil_scoped_release unlocked;
        out = f.future->get(timeout.value_or(-1.0));
    }
    return mat_to_numpy(out);
}

nb::object selector_dict(const Json& j) {
    return from_json(j);
}

void bind_records_of_inference(nb::module_& m) {
    nb::class_<ModelFile> file(m, "ModelFile", "One downloadable model file (immutable).");
    file.def(
        "__init__",
        [](ModelFile* self, std::string slug, std::string filename,
           std::optional<std::string> archive_member) {
            new (self) ModelFile{std::move(slug), std::move(filename), std::move(archive_member)};
        },
        nb::kw_only(), nb::arg("slug"), nb::arg("filename"),
        nb::arg("archive_member") = nb::none());
    RecordBinder<ModelFile>(file)
        .field("slug", &ModelFile::slug)
        .field("filename", &ModelFile::filename)
        .field("archive_member", &ModelFile::archive_member)
        .finish();
    file.def_prop_ro("path", &ModelFile::path)
        .def("resolve", &ModelFile::resolve, nb::arg("variant_slug"))
        .def("to_dict", [](const ModelFile& f) { return from_json(f.to_json()); });

    nb::class_<InferenceVariant> variant(m, "InferenceVariant",
                                         "One selectable configuration of a back-end.");
    RecordBinder<InferenceVariant>(variant)
        .field("slug", &InferenceVariant::slug)
        .field("label", &InferenceVariant::label)
        .field(
            "inference_kwargs",
            [](const InferenceVariant& v) { return from_json(v.inference_kwargs); },
            [](InferenceVariant& v, nb::handle x) { v.inference_kwargs = to_json(x); })
        .field(
            "files_to_download",
            [](const InferenceVariant& v) {
                return nb::object(nb::tuple(nb::cast(v.files_to_download)));
            },
            [](InferenceVariant& v, nb::handle x) {
                v.files_to_download = nb::cast<std::vector<ModelFile>>(x);
            })
        .field(
            "configurations", [](const InferenceVariant& v) { return from_json(v.configurations); },
            [](InferenceVariant& v, nb::handle x) { v.configurations = to_json(x); })
        .finish();
    variant
        .def_prop_ro("input_size",
                     [](const InferenceVariant& v) -> nb::object {
                         auto size = v.input_size();
                         return size ? nb::object(hw_tuple(*size)) : nb::none();
                     })
        .def_prop_ro("selector_meta",
                     [](const InferenceVariant& v) -> nb::object {
                         if (!v.configurations.contains("selector_meta")) return nb::none();
                         return selector_dict(v.configurations["selector_meta"]);
                     })
        .def("to_dict", [](const InferenceVariant& v) { return from_json(v.to_json()); })
        .def("__repr__",
             [](const InferenceVariant& v) { return "InferenceVariant('" + v.slug + "')"; });

    nb::class_<IntControl> control(m, "IntControl", "A runtime integer control of a back-end.");
    RecordBinder<IntControl>(control)
        .field("name", &IntControl::name)
        .field("kind", &IntControl::kind)
        .field("default", &IntControl::default_value)
        .field("label", &IntControl::label)
        .field("min", &IntControl::min)
        .field("max", &IntControl::max)
        .field("step", &IntControl::step)
        .field("unit", &IntControl::unit)
        .field("enum_values", &IntControl::enum_values)
        .finish();
    control.def("to_dict", [](const IntControl& c) { return from_json(c.to_json()); })
        .def("__repr__", [](const IntControl& c) { return "IntControl('" + c.name + "')"; });
}

InferenceCreateOptions create_options(std::string device, int nireq, bool do_models_cache,
                                      std::optional<std::filesystem::path> cache_dir) {
    return {.device = std::move(device),
            .nireq = nireq,
            .do_models_cache = do_models_cache,
            .cache_dir = std::move(cache_dir)};
}

void bind_registry(nb::module_& m) {
    nb::class_<PyInferenceClass>(m, "InferenceClass", "A registered back-end class.")
        .def_prop_ro("key", [](const PyInferenceClass& c) { return c.cls->key; })
        .def_prop_ro("LABEL", [](const PyInferenceClass& c) { return c.cls->label; })
        .def_prop_ro("NEURAL", [](const PyInferenceClass& c) { return c.cls->neural; })
        .def_prop_ro(
            "KIND",
            [](const PyInferenceClass& c) -> std::optional<std::string> {
                if (!c.cls->kind) return std::nullopt;
                return kind_name(*c.cls->kind);
            },
            "\"stereo\" (both eyes in, disparity out) or \"mono\" (one eye in, depth out); "
            "None for a class registered without saying.")
        .def("variants", [](const PyInferenceClass& c) { return c.cls->variants(); })
        .def(
            "variant",
            [](const PyInferenceClass& c, const std::string& slug) { return c.cls->variant(slug); },
            nb::arg("slug") = "")
        .def_prop_ro("controls", [](const PyInferenceClass& c) { return c.cls->controls; })
        .def("__repr__",
             [](const PyInferenceClass& c) { return "InferenceClass('" + c.cls->key + "')"; });

    m.def(
        "registered_inferences",
        [] {
            std::vector<PyInferenceClass> out;
            for (auto& cls : registered_inferences()) out.push_back({cls});
            return out;
        },
        "Registered back-end classes in registration order.");
    m.def(
        "inference_class",
        [](const std::string& key) { return PyInferenceClass{inference_class(key)}; },
        nb::arg("key"), "The class under a registry key; ValueError for an unknown key.");
    m.def(
        "load_inference_plugins",
        [](const std::filesystem::path& dir) { return load_inference_plugins(dir); },
        nb::arg("dir"), release(), "Loads every back-end plugin in a folder; returns their keys.");

    nb::class_<PyFuture>(m, "InferenceFuture", "The result of one asynchronous run.")
        .def(
            "wait",
            [](const PyFuture& f, std::optional<double> timeout) {
                return f.future->wait(timeout.value_or(-1.0));
            },
            nb::arg("timeout") = nb::none(), release())
        .def(
            "done", [](const PyFuture& f) { return f.future->done(); }, release())
        .def("get", &future_get, nb::arg("timeout") = nb::none())
        .def("result", &future_get, nb::arg("timeout") = nb::none());

    nb::class_<PyInference>(m, "DepthInference", "One back-end instance.")
        .def_prop_ro("input_size",
                     [](const PyInference& i) { return hw_tuple(i.impl->input_size()); })
        .def_prop_ro("label", [](const PyInference& i) { return i.impl->label(); })
        .def_prop_ro("is_passthrough",
                     [](const PyInference& i) { return i.impl->is_passthrough(); })
        .def_prop_ro("controls", [](const PyInference& i) { return i.impl->controls().specs(); })
        .def(
            "control",
            [](const PyInference& i, const std::string& name) { return i.impl->control(name); },
            nb::arg("name"))
        .def(
            "set_inference_control",
            [](PyInference& i, const std::string& name, int value) {
                i.impl->set_inference_control(name, value);
            },
            nb::arg("name"), nb::arg("value"))
        .def("submit",
             [](PyInference& i, nb::args blobs) {
                 auto impl = i.impl;
                 return submit_to([impl](const std::vector<cv::Mat>& b) { return impl->submit(b); },
                                  blobs);
             })
        .def(
            "postprocess",
            [](PyInference& i, nb::handle raw, const CanvasLayout& layout) {
                cv::Mat in = numpy_to_mat(raw, false);
                cv::Mat out;
                {
                    nb::gil_scoped_release unlocked;
                    out = i.impl->postprocess(in, layout);
                }
                return mat_to_numpy(out);
            },
            nb::arg("raw_output"), nb::arg("canvas_layout"))
        .def(
            "preprocess",
            [](PyInference& i, nb::handle left, nb::handle right) {
                auto* neural = dynamic_cast<NeuralInferenceBase*>(i.impl.get());
                if (neural == nullptr) throw nb::type_error("preprocess is for neural back-ends");
                cv::Mat l = numpy_to_mat(left, true);
                cv::Mat r = right.is_none() ? cv::Mat() : numpy_to_mat(right, true);
                std::vector<cv::Mat> blobs;
                {
                    nb::gil_scoped_release unlocked;
                    blobs = neural->preprocess(l, right.is_none() ? nullptr : &r);
                }
                nb::list out;
                for (const auto& b : blobs) out.append(mat_to_numpy(b));
                return nb::tuple(out);
            },
            nb::arg("canvas_l"), nb::arg("canvas_r") = nb::none())
        .def(
            "compute",
            [](PyInference& i, nb::handle left, nb::handle right) {
                auto* classic = dynamic_cast<ClassicStereoInferenceBase*>(i.impl.get());
                if (classic == nullptr) throw nb::type_error("compute is for classical back-ends");
                cv::Mat l = numpy_to_mat(left, true), r = numpy_to_mat(right, true);
                cv::Mat out;
                {
                    nb::gil_scoped_release unlocked;
                    out = classic->compute(l, r);
                }
                return mat_to_numpy(out);
            },
            nb::arg("canvas_l"), nb::arg("canvas_r"))
        .def(
            "shutdown",
            [](PyInference& i) {
                if (auto* neural = dynamic_cast<NeuralInferenceBase*>(i.impl.get()))
                    neural->shutdown();
            },
            release());

    m.def(
        "create_inference",
        [](const std::string& key, const std::string& variant, std::string device, int nireq,
           bool do_models_cache, std::optional<std::filesystem::path> cache_dir) {
            nb::gil_scoped_release unlocked;  // loads and compiles a network
            auto cls = inference_class(key);
            auto options =
                create_options(std::move(device), nireq, do_models_cache, std::move(cache_dir));
            return PyInference{
                std::shared_ptr<DepthInferenceBase>(cls->create(cls->variant(variant), options))};
        },
        nb::arg("key"), nb::arg("variant") = "", nb::kw_only(), nb::arg("device") = "CPU",
        nb::arg("nireq") = 2, nb::arg("do_models_cache") = true, nb::arg("cache_dir") = nb::none(),
        "Builds the back-end registered under `key` for a variant (default: its first).");
}

void bind_engine(nb::module_& m) {
    nb::class_<PyEngine>(m, "OpenVINORunner", "Stereo OpenVINO backend with async InferQueue.")
        .def(
            "__init__",
            [](PyEngine* self, std::filesystem::path model_path, std::string device, int nireq,
               bool do_models_cache, std::optional<std::vector<std::int64_t>> input_shape,
               std::optional<std::string> output_name,
               std::optional<std::filesystem::path> cache_dir) {
                OpenVINORunnerOptions options{.model_path = std::move(model_path),
                                              .device = std::move(device),
                                              .nireq = nireq,
                                              .do_models_cache = do_models_cache,
                                              .input_shape = std::move(input_shape),
                                              .output_name = std::move(output_name),
                                              .cache_dir = std::move(cache_dir)};
                std::shared_ptr<InferenceEngine> engine;
                {
                    nb::gil_scoped_release unlocked;  // reads and compiles the model
                    engine = create_openvino_runner(options);
                }
                new (self) PyEngine{std::move(engine)};
            },
            nb::arg("model_path"), nb::arg("device") = "CPU", nb::arg("nireq") = 2,
            nb::arg("do_models_cache") = true, nb::arg("input_shape") = nb::none(),
            nb::arg("output_name") = nb::none(), nb::arg("cache_dir") = nb::none())
        .def_prop_ro("input_shapes",
                     [](const PyEngine& e) {
                         nb::list out;
                         for (const auto& s : e.impl->input_shapes()) {
                             out.append(nb::make_tuple(s[0], s[1], s[2], s[3]));
                         }
                         return out;
                     })
        .def("submit",
             [](PyEngine& e, nb::args blobs) {
                 auto impl = e.impl;
                 return submit_to([impl](const std::vector<cv::Mat>& b) { return impl->submit(b); },
                                  blobs);
             })
        .def(
            "shutdown", [](PyEngine& e) { e.impl->shutdown(); }, release())
        .def("__enter__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__exit__", [](PyEngine& e, nb::args) { e.impl->shutdown(); }, release());
    m.def("openvino_runner_available", &openvino_runner_available, release());
    m.def("get_cache_dir", &get_cache_dir, "The kit's cache directory.");
    m.def("set_cache_dir", &set_cache_dir, nb::arg("path"),
          "Overrides the cache directory for this process; '' restores the default.");
}

}  // namespace

void bind_inference(nb::module_& m) {
    bind_records_of_inference(m);
    bind_registry(m);
    bind_engine(m);
}

}  // namespace kelvo::py
