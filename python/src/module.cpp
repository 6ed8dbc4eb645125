// kelvo_camera_sdk._native: the one extension module behind the package.
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include "bind_batch.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/platform/base.hpp"
#include "kelvo/position.hpp"
#include "kelvo/sources/mkv_replay.hpp"
#include "log_bridge.hpp"
#include "py_callback.hpp"
#include "records.hpp"

namespace nb = nanobind;

namespace {

// A Python loop holds a frame while it takes the next, so each payload (a few
// hundred kB) is allocated while the last one still lives; with glibc's
// default limits the heap top is given back and faulted in again for every
// frame, which costs more than the rest of the loop. Larger limits keep the
// memory for reuse. Left alone when the host tuned malloc itself.
void keep_freed_payload_memory() {
    if (std::getenv("GLIBC_TUNABLES") || std::getenv("MALLOC_TRIM_THRESHOLD_") ||
        std::getenv("MALLOC_MMAP_THRESHOLD_")) {
        return;
    }
    mallopt(M_MMAP_THRESHOLD, 16 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

}  // namespace

NB_MODULE(_native, m) {
    using namespace kelvo::py;
    keep_freed_payload_memory();
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
    bind_calibration_tools(m);
    bind_batch(m);
    bind_ros2(m);
#ifdef KELVO_PY_TESTING
    bind_testing(m);
#endif

    // The command line's own position parser, so that a text names the same
    // place from Python; std::invalid_argument arrives as ValueError.
    m.def(
        "parse_position",
        [](const std::string& text, const std::string& what) {
            const kelvo::Position p = kelvo::parse_position(text, what);
            return std::make_pair(p.is_time, p.value);
        },
        nb::arg("text"), nb::arg("what"),
        "(is_time, value): a frame index (\"120\") or a time with its unit (\"2.5s\"), in "
        "microseconds.");
    m.def(
        "_flush_logs",
        [] {
            nb::gil_scoped_release unlocked;
            flush_python_logs();
        },
        "Waits until every kit log record so far reached Python's logging.");
    // The benchmark's reference: the same "every_frame" grab loop in C++;
    // only the loop is timed (construction and open are not), as on the
    // Python side.
    m.def(
        "_bench_grab_loop",
        [](const std::string& path) {
            kelvo::MkvReplay replay(path, {.replay_mode = "every_frame"});
            replay.open();
            const auto start = std::chrono::steady_clock::now();
            long long frames = 0;
            while (auto frame = replay.grab()) frames += frame->payload.empty() ? 0 : 1;
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            replay.close();
            return std::make_pair(frames, took.count());
        },
        nb::arg("path"), nb::call_guard<nb::gil_scoped_release>());
    m.def("_shutdown", &shutdown_for_exit,
          "The atexit hook: stops pipelines, recordings and sources Python left open.");

    start_log_forwarding();
    nb::module_::import_("atexit").attr("register")(m.attr("_shutdown"));
    // Objects still referenced at exit are expected (open sources, cached
    // frames); nanobind's leak report would only be noise.
    nb::set_leak_warnings(false);
}
