// kelvo_camera_sdk._native: the one extension module behind the package.
#include <stdexcept>

#include "bind_batch.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/platform/base.hpp"
#include "log_bridge.hpp"
#include "py_callback.hpp"
#include "records.hpp"

namespace nb = nanobind;

NB_MODULE(_native, m) {
    using namespace kelvo::py;
    m.attr("__version__") = KELVO_VERSION;

    // Exceptions: the kit's messages reach Python unchanged; the most derived
    // type is matched first.
    static nb::exception<kelvo::CameraSerialMismatch> serial_mismatch(m, "CameraSerialMismatch",
                                                                      PyExc_RuntimeError);
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const kelvo::CameraSerialMismatch& e) {
            PyErr_SetString(serial_mismatch.ptr(), e.what());
        } catch (const kelvo::TypeError& e) {
            PyErr_SetString(PyExc_TypeError, e.what());
        } catch (const kelvo::RuntimeError& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });

    bind_records(m);
    bind_sources(m);
    bind_inference(m);
    bind_pipeline(m);
    bind_batch(m);

    m.def(
        "_flush_logs",
        [] {
            nb::gil_scoped_release unlocked;
            flush_python_logs();
        },
        "Waits until every kit log record so far reached Python's logging.");
    m.def("_shutdown", &shutdown_for_exit,
          "The atexit hook: stops pipelines, recordings and sources Python left open.");

    start_log_forwarding();
    nb::module_::import_("atexit").attr("register")(m.attr("_shutdown"));
    // Objects still referenced at exit are expected (open sources, cached
    // frames); nanobind's leak report would only be noise.
    nb::set_leak_warnings(false);
}
