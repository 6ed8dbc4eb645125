// _native._testing: the test-only hook that puts the camera test double
// (tests/support/fake_camera.hpp) in place of the platform back-end, so the
// Python tests drive LiveCapture without a camera. Built only with the tests.
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "kelvo/platform.hpp"
#include "records.hpp"
#include "support/fake_camera.hpp"

namespace kelvo::py {

namespace {

/// The installed double and what its control handles saw.
struct FakeCamera {
    std::shared_ptr<testing::TestBackend> backend;
    std::shared_ptr<testing::ControlLog> log;

    template <typename F>
    auto with_log(F f) const {
        std::lock_guard lock(log->mutex);
        return f(*log);
    }
};

FakeCamera install(const std::string& url, const std::string& input_format,
                   std::map<std::string, std::string> options,
                   std::optional<std::map<std::string, double>> controls,
                   std::vector<std::string> failing_get, std::vector<std::string> failing_set) {
    FakeCamera fake{std::make_shared<testing::TestBackend>(),
                    std::make_shared<testing::ControlLog>()};
    fake.backend->args = {url, input_format, std::move(options)};
    if (controls) {
        fake.log->values = std::move(*controls);
        fake.log->failing_get = {failing_get.begin(), failing_get.end()};
        fake.log->failing_set = {failing_set.begin(), failing_set.end()};
        fake.backend->controls = [log = fake.log](const std::string&, const std::string&) {
            return std::make_unique<testing::FakeControls>(log);
        };
    }
    set_current_backend(fake.backend);
    return fake;
}

}  // namespace

void bind_testing(nb::module_& m) {
    nb::module_ t = m.def_submodule("_testing", "Test-only: the camera test double.");
    nb::class_<FakeCamera>(t, "FakeCamera", "The installed camera double and its control log.")
        .def_prop_ro("sets",
                     [](const FakeCamera& f) { return f.with_log([](auto& l) { return l.sets; }); })
        .def_prop_ro(
            "values",
            [](const FakeCamera& f) { return f.with_log([](auto& l) { return l.values; }); })
        .def_prop_ro(
            "closes",
            [](const FakeCamera& f) { return f.with_log([](auto& l) { return l.closes; }); })
        .def_prop_ro("opened", [](const FakeCamera& f) {
            std::lock_guard lock(f.backend->mutex);
            return f.backend->opened;
        });
    t.def("install_fake_camera", &install, nb::arg("url"), nb::arg("input_format"),
          nb::arg("options") = std::map<std::string, std::string>{},
          nb::arg("controls") = nb::none(), nb::arg("failing_get") = std::vector<std::string>{},
          nb::arg("failing_set") = std::vector<std::string>{},
          "Sources built from now on open `url` with FFmpeg's `input_format` input; with "
          "`controls`, their control handle starts from these values.");
    t.def("restore_camera_backend", [] { set_current_backend(nullptr); });
}

}  // namespace kelvo::py
