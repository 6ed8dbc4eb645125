// Python-side holders of shared kit objects. The kit's shared pointers are
// held here and never handed a Python object, so kit threads never own a
// Python reference except through PyRef.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nanobind/nanobind.h>

#include "kelvo/calibration.hpp"
#include "kelvo/sources/types.hpp"
#include "native.hpp"

namespace kelvo::py {

struct PyRawFrame {
    FramePtr frame;
};

struct PyCalibration {
    CalibrationPtr ptr;
};

/// None for a null calibration.
nb::object wrap_calibration(CalibrationPtr calibration);
CalibrationPtr unwrap_calibration(nb::handle calibration);  ///< None -> null

/// Binds immutable value records: read-only fields plus `replace(**changes)`
/// (copy with changes; an unknown field raises TypeError like Python's).
template <typename T>
class RecordBinder {
  public:
    explicit RecordBinder(nb::class_<T>& cls) : _cls(cls) {}

    template <typename M>
    RecordBinder& field(const char* name, M T::*member) {
        _cls.def_prop_ro(name, [member](const T& t) { return t.*member; });
        (*_setters)[name] = [member](T& t, nb::handle v) { t.*member = nb::cast<M>(v); };
        return *this;
    }
    /// A field whose Python form is converted by hand.
    RecordBinder& field(const char* name, std::function<nb::object(const T&)> get,
                        std::function<void(T&, nb::handle)> set) {
        _cls.def_prop_ro(name, [get](const T& t) { return get(t); });
        (*_setters)[name] = std::move(set);
        return *this;
    }
    void finish() {
        auto setters = _setters;
        _cls.def("replace", [setters](const T& t, nb::kwargs changes) {
            T copy = t;
            for (auto [key, value] : changes) {
                const auto name = nb::cast<std::string>(key);
                auto it = setters->find(name);
                if (it == setters->end()) {
                    throw nb::type_error(
                        ("replace() got an unexpected keyword argument '" + name + "'").c_str());
                }
                it->second(copy, value);
            }
            return copy;
        });
    }

  private:
    nb::class_<T>& _cls;
    std::shared_ptr<std::map<std::string, std::function<void(T&, nb::handle)>>> _setters =
        std::make_shared<std::map<std::string, std::function<void(T&, nb::handle)>>>();
};

void bind_records(nb::module_& m);
void bind_sources(nb::module_& m);
void bind_inference(nb::module_& m);
void bind_pipeline(nb::module_& m);
void bind_calibration_tools(nb::module_& m);
#ifdef KELVO_PY_TESTING
void bind_testing(nb::module_& m);
#endif

}  // namespace kelvo::py
