// The viewer's HTTP server over cpp-httplib.
#include "kelvo/viewer/viewer_server.hpp"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <random>
#include <thread>

#include <fmt/format.h>

#include "core/small_util.hpp"
#include "kelvo/errors.hpp"
#include "kelvo/event.hpp"
#include "kelvo/log.hpp"
#include "kelvo/sync.hpp"
#include "viewer/embedded_files.hpp"
#include "viewer/guarded_server.hpp"
#include "viewer/json_fields.hpp"
#include "viewer/request_checks.hpp"
#include "viewer/tls_context.hpp"

namespace kelvo {

std::string generate_token() {
    std::random_device device;
    std::string out;
    for (int i = 0; i < 4; ++i) out += fmt::format("{:08x}", device());
    return out;
}

namespace detail {
namespace {

constexpr std::size_t LATENCY_SAMPLES = 2048;
/// Threads beyond the admitted connections', for the newcomers that make
/// room or are refused.
constexpr int SPARE_THREADS = 8;
constexpr int LISTEN_BACKLOG = 256;
constexpr double STREAM_WAIT_S = 0.25;
constexpr const char* BOUNDARY = "kelvoframe";
/// What begins each part of an image stream.
const std::string PART_HEADER = fmt::format("--{}\r\nContent-Type: image/jpeg\r\n\r\n", BOUNDARY);
constexpr const char* JSON_TYPE = "application/json";

void reply_error(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(Json{{"error", message}}.dump(), JSON_TYPE);
}

void reply_json(httplib::Response& res, const Json& body) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(), JSON_TYPE);
}

}  // namespace

struct ViewerServerState : std::enable_shared_from_this<ViewerServerState> {
    // Constant after construction.
    std::shared_ptr<ViewerSession> session;
    ViewerServerOptions options;
    std::shared_ptr<spdlog::logger> logger = get_logger("kelvo_camera_sdk.viewer");

    std::unique_ptr<TlsContext> tls;        ///< null: plain HTTP
    std::unique_ptr<GuardedServer> server;  ///< made by start()
    std::thread listener;
    int port = 0;  ///< written by start() before the listener runs
    RequestGuard guard;
    Event stopping;
    std::atomic<int> open_streams{0};

    mutable Mutex latency_mutex;
    std::deque<double> latencies KELVO_GUARDED_BY(latency_mutex);
    std::deque<double> point_latencies KELVO_GUARDED_BY(latency_mutex);

    enum class Latency { image, points };
    void add_latency(Latency of, double ms) {
        MutexLock lock(latency_mutex);
        auto& to = of == Latency::image ? latencies : point_latencies;
        to.push_back(ms);
        if (to.size() > LATENCY_SAMPLES) to.pop_front();
    }

    /// Runs `handler`, turning the kit's exceptions into 4xx replies:
    /// a bad request is 400, a request the state does not allow 409.
    template <typename Handler>
    httplib::Server::Handler guarded(Handler handler) {
        return [this, handler](const httplib::Request& req, httplib::Response& res) {
            try {
                handler(req, res);
            } catch (const std::invalid_argument& e) {
                reply_error(res, 400, e.what());
            } catch (const RuntimeError& e) {
                reply_error(res, 409, e.what());
            } catch (const std::exception& e) {
                log_exception(*logger, fmt::format("request {} {} failed", req.method, req.path));
                reply_error(res, 500, e.what());
            }
        };
    }

    /// A POST handler receiving the validated JSON body.
    template <typename Handler>
    void post(const std::string& path, Handler handler) {
        server->Post(path, guarded([handler](const httplib::Request& req, httplib::Response& res) {
                         const Json body = parse_json_body(req.body);
                         handler(body, res);
                     }));
    }

    /// Takes one of the bounded stream places; false (with 503) when none is free.
    bool take_stream(httplib::Response& res) {
        if (open_streams.fetch_add(1) >= options.max_streams) {
            open_streams.fetch_sub(1);
            reply_error(res, 503,
                        fmt::format("too many open viewer streams (at most {}); close another "
                                    "viewer tab and reload",
                                    options.max_streams));
            return false;
        }
        return true;
    }

    void routes();
    void stream_images(ViewerPanel panel, int width, httplib::Response& res);
    void stream_points(int width, httplib::Response& res);
    void stream_events(httplib::Response& res);
};

void ViewerServerState::routes() {
    server->set_pre_routing_handler(
        [this](const httplib::Request& req,
               httplib::Response& res) -> httplib::Server::HandlerResponse {
            const Refusal refusal = guard.check(req);
            if (!refusal.status) return httplib::Server::HandlerResponse::Unhandled;
            reply_error(res, refusal.status, refusal.message);
            return httplib::Server::HandlerResponse::Handled;
        });
    // Statuses raised by the library itself (413, 414, 404) get a JSON body too.
    server->set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& res) -> httplib::Server::HandlerResponse {
            if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
            const char* message = res.status == 413   ? "request body too large"
                                  : res.status == 404 ? "no such page or API"
                                                      : "bad request";
            reply_error(res, res.status, message);
            return httplib::Server::HandlerResponse::Handled;
        }));

    server->Get("/", [this](const httplib::Request& req, httplib::Response& res) {
        const EmbeddedFile* page = find_embedded_file("index.html");
        res.set_content(std::string(page->data, page->size), page->mime_type);
        res.set_header("Cache-Control", "no-store");
        // The page's images, events and API calls then carry the token as a cookie.
        if (!options.token.empty() && req.has_param("token")) {
            res.set_header("Set-Cookie", guard.cookie());
        }
    });
    server->Get(R"(/static/([A-Za-z0-9_.-]+))",
                [](const httplib::Request& req, httplib::Response& res) {
                    const EmbeddedFile* file = find_embedded_file(req.matches[1].str());
                    if (!file) return reply_error(res, 404, "no such file");
                    res.set_content(std::string(file->data, file->size), file->mime_type);
                });

    server->Get("/api/describe", guarded([this](const httplib::Request&, httplib::Response& res) {
                    reply_json(res, session->describe());
                }));
    server->Get("/api/state", guarded([this](const httplib::Request&, httplib::Response& res) {
                    reply_json(res, session->state());
                }));
    server->Get("/api/controls", guarded([this](const httplib::Request&, httplib::Response& res) {
                    reply_json(res, session->controls());
                }));
    server->Get(
        "/api/probe", guarded([this](const httplib::Request& req, httplib::Response& res) {
            reply_json(res, session->probe({query_number(req, "x"), query_number(req, "y")}));
        }));

    post("/api/control", [this](const Json& body, httplib::Response& res) {
        const JsonFields f(body, "control change");
        session->set_control(f.string("name"), f.value("value"));
        reply_json(res, session->controls());
    });
    post("/api/camera_control", [this](const Json& body, httplib::Response& res) {
        const JsonFields f(body, "camera control change");
        session->set_camera_control(f.string("name"), f.value("value"));
        reply_json(res, session->controls());
    });
    post("/api/backend", [this](const Json& body, httplib::Response& res) {
        const JsonFields f(body, "back-end choice");
        session->select_backend(f.string("backend"), f.string_or_empty("variant"));
        reply_json(res, session->controls());
    });
    post("/api/confidence_threshold", [this](const Json& body, httplib::Response& res) {
        const JsonFields f(body, "confidence threshold");
        session->set_confidence_threshold(f.value("threshold"));
        reply_json(res, session->state());
    });
    post("/api/playback", [this](const Json& body, httplib::Response& res) {
        session->playback(body);
        reply_json(res, session->state());
    });
    post("/api/record", [this](const Json& body, httplib::Response& res) {
        const JsonFields f(body, "recording command");
        reply_json(res, session->record(f.string("action")));
    });
    post("/api/save", [this](const Json& body, httplib::Response& res) {
        JsonFields(body, "save request");  // an object, even if empty
        reply_json(res, session->save_frame());
    });
    post("/api/measure", [this](const Json& body, httplib::Response& res) {
        const JsonFields f(body, "measurement");
        reply_json(res, session->measure(point_field(f, "a"), point_field(f, "b")));
    });

    server->Get(R"(/stream/([a-z]+)\.mjpg)",
                guarded([this](const httplib::Request& req, httplib::Response& res) {
                    stream_images(viewer_panel(req.matches[1].str()), query_stream_width(req), res);
                }));
    server->Get("/stream/points.bin",
                guarded([this](const httplib::Request& req, httplib::Response& res) {
                    stream_points(query_stream_width(req), res);
                }));
    server->Get("/events", guarded([this](const httplib::Request&, httplib::Response& res) {
                    stream_events(res);
                }));
}

void ViewerServerState::stream_images(ViewerPanel panel, int width, httplib::Response& res) {
    if (!take_stream(res)) return;
    res.set_header("Cache-Control", "no-store");
    std::weak_ptr<ViewerServerState> weak = weak_from_this();
    auto after = std::make_shared<std::uint64_t>(0);
    auto first = std::make_shared<bool>(true);
    // Held as long as the response, so the eyes are made at this width meanwhile.
    auto watching = session->watch(panel, width);
    res.set_chunked_content_provider(
        fmt::format("multipart/x-mixed-replace; boundary={}", BOUNDARY),
        [weak, panel, width, after, first, watching](std::size_t, httplib::DataSink& sink) {
            auto self = weak.lock();
            if (!self || self->stopping.is_set()) return false;
            // Always the newest packet: a slow client skips packets, none queue.
            const ViewerImagePtr image =
                self->session->wait_image(panel, *after, STREAM_WAIT_S, width);
            if (!image) return sink.is_writable() && !self->stopping.is_set();
            *after = image->generation;
            // Each image is followed at once by the next part's boundary and
            // headers: a browser shows a part only once the next one begins,
            // so a paused or stepped replay would otherwise show the frame
            // before (the parts carry no length for that reason).
            // One write per image: each write is a chunk, a send and a wake-up
            // of the client.
            std::string part;
            part.reserve(2 * PART_HEADER.size() + image->data.size() + 2);
            if (*first) part += PART_HEADER;
            part += image->data;
            part += "\r\n";
            part += PART_HEADER;
            *first = false;
            const bool ok = sink.write(part.data(), part.size());
            if (ok)
                self->add_latency(Latency::image,
                                  static_cast<double>(steady_now_ns() - image->packet_ns) / 1e6);
            return ok;
        },
        [weak](bool) {
            if (auto self = weak.lock()) self->open_streams.fetch_sub(1);
        });
}

void ViewerServerState::stream_points(int width, httplib::Response& res) {
    if (!take_stream(res)) return;
    res.set_header("Cache-Control", "no-store");
    std::weak_ptr<ViewerServerState> weak = weak_from_this();
    auto after = std::make_shared<std::uint64_t>(0);
    // Point frames carry their own length, so they follow each other without
    // parts. As the image streams, a slow client skips to the newest packet:
    // while a write waits for the client, packets come and go unsent.
    res.set_chunked_content_provider(
        "application/octet-stream",
        [weak, width, after](std::size_t, httplib::DataSink& sink) {
            auto self = weak.lock();
            if (!self || self->stopping.is_set()) return false;
            const ViewerImagePtr frame = self->session->wait_points(*after, STREAM_WAIT_S, width);
            if (!frame) return sink.is_writable() && !self->stopping.is_set();
            *after = frame->generation;
            const bool ok = sink.write(frame->data.data(), frame->data.size());
            if (ok) {
                self->add_latency(Latency::points,
                                  static_cast<double>(steady_now_ns() - frame->packet_ns) / 1e6);
            }
            return ok;
        },
        [weak](bool) {
            if (auto self = weak.lock()) self->open_streams.fetch_sub(1);
        });
}

void ViewerServerState::stream_events(httplib::Response& res) {
    if (!take_stream(res)) return;
    res.set_header("Cache-Control", "no-store");
    std::weak_ptr<ViewerServerState> weak = weak_from_this();
    auto first = std::make_shared<bool>(true);
    res.set_chunked_content_provider(
        "text/event-stream",
        [weak, first](std::size_t, httplib::DataSink& sink) {
            auto self = weak.lock();
            if (!self) return false;
            if (!*first && self->stopping.wait_for(self->options.event_period_s)) return false;
            *first = false;
            const std::string event = "data: " + self->session->state().dump() + "\n\n";
            return sink.write(event.data(), event.size());
        },
        [weak](bool) {
            if (auto self = weak.lock()) self->open_streams.fetch_sub(1);
        });
}

}  // namespace detail

ViewerServer::ViewerServer(std::shared_ptr<ViewerSession> session, ViewerServerOptions options)
    : _state(std::make_shared<detail::ViewerServerState>()) {
    if (!session) throw std::invalid_argument("the viewer server needs a session");
    if (!is_loopback_host(options.host) && options.token.empty()) {
        throw std::invalid_argument("listening on " + repr(options.host) +
                                    " (not a loopback address) needs a token");
    }
    if (options.port < 0 || options.port > 65535) {
        throw std::invalid_argument(
            fmt::format("port must be within 0..65535; got {}", options.port));
    }
    if (options.max_streams < 1) throw std::invalid_argument("max_streams must be at least 1");
    if (options.max_connections <= options.max_streams || options.max_connections_per_client < 1) {
        throw std::invalid_argument(
            fmt::format("max_connections ({}) must exceed max_streams ({}), and "
                        "max_connections_per_client be at least 1",
                        options.max_connections, options.max_streams));
    }
    if (!(options.idle_timeout_s > 0) || !(options.header_timeout_s > 0)) {
        throw std::invalid_argument("idle_timeout_s and header_timeout_s must be positive");
    }
    if (options.tls_cert_file.empty() != options.tls_key_file.empty()) {
        throw std::invalid_argument("TLS needs both a certificate and its key");
    }
    if (!options.tls_cert_file.empty()) {
        _state->tls =
            std::make_unique<detail::TlsContext>(options.tls_cert_file, options.tls_key_file);
    }
    _state->session = std::move(session);
    _state->options = std::move(options);
}

ViewerServer::~ViewerServer() {
    stop();
}

void ViewerServer::start() {
    auto& st = *_state;
    if (st.listener.joinable() || st.server) {
        throw RuntimeError("the viewer server is already running");
    }
    std::signal(SIGPIPE, SIG_IGN);
    const auto& o = st.options;
    detail::ConnectionLimits limits;
    limits.caps.total = o.max_connections;
    limits.caps.per_client = o.max_connections_per_client;
    limits.head.body = o.max_body_bytes;
    limits.timeouts.idle_s = o.idle_timeout_s;
    limits.timeouts.header_s = o.header_timeout_s;
    st.server = std::make_unique<detail::GuardedServer>(limits, st.tls ? st.tls->get() : nullptr);
    const int threads = o.max_connections + detail::SPARE_THREADS;
    st.server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    // A second line behind the limits checked on each head.
    st.server->set_payload_max_length(o.max_body_bytes);
    st.routes();
    if (st.options.port == 0) {
        st.port = st.server->bind_to_any_port(st.options.host);
    } else {
        st.port = st.server->bind_to_port(st.options.host, st.options.port) ? st.options.port : -1;
    }
    if (st.port <= 0) {
        throw RuntimeError(fmt::format("cannot listen on {}:{} (address in use or not local?)",
                                       st.options.host, st.options.port));
    }
    if (!st.server->widen_backlog(detail::LISTEN_BACKLOG)) {
        throw RuntimeError(fmt::format("cannot listen on {}:{}", st.options.host, st.port));
    }
    st.guard = detail::RequestGuard(st.options.host, st.port, st.options.token, st.tls != nullptr);
    st.listener = std::thread([s = _state] { s->server->listen_after_bind(); });
    // cpp-httplib's stop() does nothing before its accept loop runs, so a
    // stop() right after start() would wait forever: start() returns only
    // once the loop is running.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!st.server->is_running() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ViewerServer::stop() {
    auto& st = *_state;
    st.stopping.set();
    if (!st.listener.joinable()) return;
    // Wakes every connection's thread, which the server's pool then joins.
    st.server->connections().close_all();
    st.server->stop();
    st.listener.join();
}

int ViewerServer::port() const {
    return _state->port;
}

std::string ViewerServer::url() const {
    const auto& o = _state->options;
    const std::string host = o.host.find(':') != std::string::npos ? "[" + o.host + "]" : o.host;
    std::string out = fmt::format("{}://{}:{}/", uses_tls() ? "https" : "http", host, _state->port);
    if (!o.token.empty()) out += "?token=" + o.token;
    return out;
}

bool ViewerServer::uses_tls() const {
    return _state->tls != nullptr;
}

std::vector<double> ViewerServer::latencies_ms() const {
    MutexLock lock(_state->latency_mutex);
    return {_state->latencies.begin(), _state->latencies.end()};
}

std::vector<double> ViewerServer::point_latencies_ms() const {
    MutexLock lock(_state->latency_mutex);
    return {_state->point_latencies.begin(), _state->point_latencies.end()};
}

}  // namespace kelvo
