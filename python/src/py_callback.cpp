#include "py_callback.hpp"

#include <array>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>

#include "kelvo/errors.hpp"
#include "log_bridge.hpp"

namespace kelvo::py {

void call_python(const PyRefPtr& fn, const std::function<nb::object()>& make_arg) {
    if (!python_alive()) return;
    std::string error;
    {
        nb::gil_scoped_acquire gil;
        try {
            fn->get()(make_arg());
        } catch (nb::python_error& e) {
            error = e.what();
        } catch (const std::exception& e) {
            error = e.what();
        }
    }
    if (!error.empty()) throw RuntimeError("Python callback raised " + error);
}

namespace {
struct ExitEntry {
    std::weak_ptr<void> object;
    std::function<void()> stop;
};
struct ExitList {
    std::mutex mutex;
    std::array<std::vector<ExitEntry>, 3> entries;
};
ExitList& exit_list() {
    static auto* list = new ExitList();  // used from the atexit hook
    return *list;
}
}  // namespace

void stop_at_exit(ExitOrder order, std::weak_ptr<void> object, std::function<void()> stop) {
    auto& list = exit_list();
    std::lock_guard lock(list.mutex);
    auto& bucket = list.entries[static_cast<size_t>(order)];
    std::erase_if(bucket, [](const ExitEntry& e) { return e.object.expired(); });
    bucket.push_back({std::move(object), std::move(stop)});
}

void shutdown_for_exit() {
    {
        nb::gil_scoped_release unlocked;
        auto& list = exit_list();
        std::array<std::vector<ExitEntry>, 3> entries;
        {
            std::lock_guard lock(list.mutex);
            entries.swap(list.entries);
        }
        for (auto& bucket : entries) {
            for (auto& entry : bucket) {
                auto alive = entry.object.lock();
                if (!alive) continue;
                try {
                    entry.stop();
                } catch (...) {
                    // Exiting anyway; the kit logged what went wrong.
                }
            }
        }
        flush_python_logs();
    }
    mark_python_finalizing();
    stop_log_forwarding();
}

}  // namespace kelvo::py
