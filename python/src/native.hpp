// Shared plumbing of the Python bindings: value conversions (JSON, cv::Mat,
// (height, width) tuples), the interpreter-lifetime flag, and references to
// Python objects that kit threads may drop.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <opencv2/core.hpp>

#include "kelvo/calibration.hpp"
#include "kelvo/json.hpp"

namespace kelvo {
struct StageTimings;
}

namespace kelvo::py {

namespace nb = nanobind;

/// False once the interpreter started to shut down (set by the module's
/// atexit hook): kit threads then no longer enter Python.
bool python_alive();
void mark_python_finalizing();

/// A strong reference to a Python object that may be released on any thread:
/// the last owner takes the interpreter lock to drop it (or leaks it once
/// the interpreter is going away). Copy by shared pointer.
class PyRef {
  public:
    explicit PyRef(nb::handle object);
    ~PyRef();
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    /// Borrowed; use with the interpreter lock held.
    nb::handle get() const { return _object; }

  private:
    PyObject* _object;
};
using PyRefPtr = std::shared_ptr<const PyRef>;

/// Python value (dict, list, str, int, float, bool, None) to JSON; TypeError
/// for anything else.
Json to_json(nb::handle value);
/// JSON to Python dicts and lists (key order kept).
nb::object from_json(const Json& value);

/// A NumPy array over the matrix's own memory; the array keeps the matrix
/// alive. 2-D single-channel matrices give (H, W), multi-channel (H, W, C),
/// N-dimensional ones their dimensions. An empty matrix gives None.
nb::object mat_to_numpy(const cv::Mat& mat);
/// A matrix over a C-contiguous array's memory that keeps the array alive
/// (no copy); other layouts are copied into a new contiguous matrix. With
/// `as_image`, an (H, W, C) uint8 array becomes an H x W C-channel matrix.
cv::Mat numpy_to_mat(nb::handle array, bool as_image);

/// A packet's stage times as {"decode_ms", ..., "total_ms"}.
nb::dict timings_dict(const StageTimings& timings);

nb::tuple hw_tuple(HeightWidth hw);
HeightWidth hw_from(nb::handle pair);

/// Raises the Python exception that `message` names as a kit run-time error.
[[noreturn]] void raise_runtime(const std::string& message);

}  // namespace kelvo::py
