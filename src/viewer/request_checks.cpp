// Checks applied to every request of the viewer.
#include "viewer/request_checks.hpp"

#include <httplib.h>

#include <cmath>

#include <fmt/format.h>

#include "kelvo/log.hpp"
#include "kelvo/viewer/viewer_server.hpp"

namespace kelvo {

bool is_loopback_host(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

namespace detail {
namespace {

bool is_wildcard(const std::string& host) {
    return host == "0.0.0.0" || host == "::" || host.empty();
}

/// Compares without stopping at the first difference, so the time taken
/// tells nothing about how much of a guess was right.
bool same_secret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

std::string cookie_value(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
        const auto end = std::min(header.find(';', at), header.size());
        const std::string pair = header.substr(at, end - at);
        const auto eq = pair.find('=');
        if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
        at = end;
    }
    return {};
}

}  // namespace

RequestGuard::RequestGuard(const std::string& host, int port, std::string token, bool tls)
    : _token(std::move(token)),
      _cookie_name(fmt::format("kelvo_token_{}", port)),
      _scheme(tls ? "https://" : "http://") {
    if (is_wildcard(host)) return;  // any name reaches it; the token guards it
    std::vector<std::string> names{host.find(':') != std::string::npos ? "[" + host + "]" : host};
    if (is_loopback_host(host)) names = {"127.0.0.1", "localhost", "[::1]", names.front()};
    for (const auto& name : names) _hosts.push_back(fmt::format("{}:{}", name, port));
}

bool RequestGuard::host_allowed(const std::string& host_header) const {
    if (_hosts.empty()) return !host_header.empty();
    return std::find(_hosts.begin(), _hosts.end(), host_header) != _hosts.end();
}

bool RequestGuard::has_token(const httplib::Request& req) const {
    if (_token.empty()) return true;
    const std::string auth = req.get_header_value("Authorization");
    if (auth.rfind("Bearer ", 0) == 0 && same_secret(auth.substr(7), _token)) return true;
    if (req.has_param("token") && same_secret(req.get_param_value("token"), _token)) return true;
    const std::string cookie = cookie_value(req.get_header_value("Cookie"), _cookie_name);
    return !cookie.empty() && same_secret(cookie, _token);
}

Refusal RequestGuard::check(const httplib::Request& req) const {
    const std::string host = req.get_header_value("Host");
    if (!host_allowed(host)) {
        return {403, fmt::format("the Host header {} does not name this viewer", repr(host))};
    }
    const std::string origin = req.get_header_value("Origin");
    if (req.has_header("Origin") && origin != _scheme + host) {
        return {403, fmt::format("cross-site request from origin {} refused", repr(origin))};
    }
    if (req.get_header_value("Sec-Fetch-Site") == "cross-site") {
        return {403, "cross-site request refused"};
    }
    if (!has_token(req)) {
        return {401, "this viewer needs its token: open the address `kelvo view` printed"};
    }
    if (req.method == "POST" &&
        req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        return {415, "request bodies must be JSON (Content-Type: application/json)"};
    }
    return {};
}

std::string RequestGuard::cookie() const {
    return fmt::format("{}={}; Path=/; HttpOnly; SameSite=Strict{}", _cookie_name, _token,
                       _scheme == "https://" ? "; Secure" : "");
}

double query_number(const httplib::Request& req, const std::string& name) {
    if (!req.has_param(name)) throw std::invalid_argument("missing query parameter " + repr(name));
    const std::string text = req.get_param_value(name);
    try {
        std::size_t used = 0;
        const double v = std::stod(text, &used);
        if (used == text.size() && std::isfinite(v)) return v;
    } catch (const std::logic_error&) {
    }
    throw std::invalid_argument(
        fmt::format("query parameter {} must be a number; got {}", repr(name), repr(text)));
}

int query_stream_width(const httplib::Request& req) {
    constexpr int MIN_WIDTH = 16, MAX_WIDTH = 8192, STEP = 16;
    if (!req.has_param("width")) return 0;
    const double v = query_number(req, "width");
    if (v != std::floor(v) || v < MIN_WIDTH || v > MAX_WIDTH) {
        throw std::invalid_argument(
            fmt::format("query parameter 'width' must be a whole number of pixels from {} to {}; "
                        "got {}",
                        MIN_WIDTH, MAX_WIDTH, repr(req.get_param_value("width"))));
    }
    return (static_cast<int>(v) + STEP - 1) / STEP * STEP;
}

cv::Point2d point_field(const JsonFields& fields, const std::string& key) {
    const Json& v = fields.value(key);
    if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number()) {
        throw std::invalid_argument(
            fmt::format("{} must be a pixel position [x, y]; got {}", repr(key), v.dump()));
    }
    return {v[0].get<double>(), v[1].get<double>()};
}

}  // namespace detail
}  // namespace kelvo
