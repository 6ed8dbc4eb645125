#include "log_bridge.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "kelvo/log_routing.hpp"
#include "native.hpp"

namespace kelvo::py {

namespace {

int python_level(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
        case spdlog::level::debug:
            return 10;
        case spdlog::level::info:
            return 20;
        case spdlog::level::warn:
            return 30;
        case spdlog::level::err:
            return 40;
        default:
            return 50;
    }
}

struct Record {
    std::string channel;
    int level;
    std::string message;
};

/// The queue between the kit's threads and the forwarding thread.
struct Forwarder {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Record> queue;
    std::uint64_t queued = 0, delivered = 0;
    bool stopping = false;
    bool accepting = true;
    std::thread thread;

    void push(Record r) {
        {
            std::lock_guard lock(mutex);
            if (!accepting) return;
            queue.push_back(std::move(r));
            ++queued;
        }
        cv.notify_all();
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) return;
            std::vector<Record> batch(std::make_move_iterator(queue.begin()),
                                      std::make_move_iterator(queue.end()));
            queue.clear();
            lock.unlock();
            deliver(batch);
            lock.lock();
            delivered += batch.size();
            cv.notify_all();
        }
    }

    static void deliver(const std::vector<Record>& batch) {
        if (!python_alive()) return;
        nb::gil_scoped_acquire gil;
        try {
            nb::object get_logger = nb::module_::import_("logging").attr("getLogger");
            for (const auto& r : batch) {
                get_logger(r.channel.c_str()).attr("log")(r.level, "%s", r.message.c_str());
            }
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("kelvo_camera_sdk log forwarding");
        }
    }
};

Forwarder& forwarder() {
    static auto* f = new Forwarder();  // kit threads may log until the process ends
    return *f;
}

class PythonSink final : public spdlog::sinks::base_sink<std::mutex> {
  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        forwarder().push({std::string(msg.logger_name.data(), msg.logger_name.size()),
                          python_level(msg.level),
                          std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}
};

}  // namespace

void start_log_forwarding() {
    auto& f = forwarder();
    f.thread = std::thread([&f] { f.run(); });
    // Python decides what is shown: the kit hands over debug and above.
    set_log_sinks({std::make_shared<PythonSink>()}, spdlog::level::debug);
}

void flush_python_logs() {
    auto& f = forwarder();
    std::unique_lock lock(f.mutex);
    const auto target = f.queued;
    f.cv.wait(lock, [&] { return f.delivered >= target || !f.thread.joinable() || f.stopping; });
}

void stop_log_forwarding() {
    auto& f = forwarder();
    {
        std::lock_guard lock(f.mutex);
        f.accepting = false;
        f.stopping = true;
    }
    f.cv.notify_all();
    if (f.thread.joinable()) {
        nb::gil_scoped_release unlocked;  // a batch in delivery may wait for the lock
        f.thread.join();
    }
}

}  // namespace kelvo::py
