// Size limits checked on a request's head.
#include "viewer/request_head.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "kelvo/json.hpp"

namespace kelvo::detail {
namespace request_head {

bool iequals_prefix(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    }
    return true;
}

std::string_view trimmed(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r'))
        v.remove_suffix(1);
    return v;
}

HeadCheck refused(int status, std::string message) {
    HeadCheck out;
    out.state = HeadCheck::State::refused;
    out.status = status;
    out.message = std::move(message);
    return out;
}

const char* reason(int status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 413:
            return "Payload Too Large";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

}  // namespace request_head

HeadCheck check_head(std::string_view data, const HeadLimits& limits, HeadCheck out) {
    using namespace request_head;
    // Resumes where the last call stopped: the lines before `line_at` are
    // checked and no line feed lies before `searched`.
    const auto next_line_end = [&] {
        const auto end = data.find('\n', std::max(out.line_at, out.searched));
        out.searched = end == std::string_view::npos ? data.size() : end;
        return end;
    };
    if (out.line_at == 0) {
        const auto line_end = next_line_end();
        if (line_end == std::string_view::npos ? data.size() > limits.request_line
                                               : line_end > limits.request_line) {
            return refused(
                414, fmt::format("request line too long (at most {} bytes)", limits.request_line));
        }
        if (line_end == std::string_view::npos) return out;
        out.line_at = line_end + 1;
    }
    for (;;) {
        const auto end = next_line_end();
        const std::size_t line_size =
            (end == std::string_view::npos ? data.size() : end) - out.line_at;
        if (line_size > limits.header_line || std::min(end, data.size()) > limits.head) {
            return refused(431,
                           fmt::format("request headers too large (at most {} bytes, {} a line)",
                                       limits.head, limits.header_line));
        }
        if (end == std::string_view::npos) return out;
        const std::string_view line = data.substr(out.line_at, line_size);
        out.line_at = end + 1;
        if (line.empty() || line == "\r") break;
        if (iequals_prefix(line, "transfer-encoding")) {
            return refused(411, "request bodies need a Content-Length (no chunked bodies)");
        }
        if (!iequals_prefix(line, "content-length")) continue;
        const std::string_view value = trimmed(line.substr(15));
        std::size_t length = 0;
        bool ok = !value.empty() && value.size() <= 18;
        for (const char c : value) {
            ok = ok && c >= '0' && c <= '9';
            if (ok) length = length * 10 + static_cast<std::size_t>(c - '0');
        }
        if (!ok || (out.has_length && length != out.content_length)) {
            return refused(400, "bad Content-Length");
        }
        out.has_length = true;
        out.content_length = length;
    }
    if (out.content_length > limits.body) {
        return refused(413, fmt::format("request body too large (at most {} bytes)", limits.body));
    }
    out.state = HeadCheck::State::complete;
    out.head_bytes = out.line_at;
    return out;
}

std::string error_response(int status, const std::string& message) {
    const std::string body = Json{{"error", message}}.dump();
    return fmt::format(
        "HTTP/1.1 {} {}\r\nContent-Type: application/json\r\nContent-Length: {}\r\n"
        "Cache-Control: no-store\r\nConnection: close\r\n\r\n{}",
        status, request_head::reason(status), body.size(), body);
}

}  // namespace kelvo::detail
