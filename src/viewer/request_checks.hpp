// What every request to the viewer must pass before it is routed: its Host
// names this server (no DNS rebinding), an Origin or fetch site it sends is
// this server's own (no cross-site requests), it carries the token when one
// is set, and a body it sends is JSON.
#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "viewer/json_fields.hpp"

namespace httplib {
struct Request;
}

namespace kelvo::detail {

/// Status 0: accepted.
struct Refusal {
    int status = 0;
    std::string message;
};

class RequestGuard {
  public:
    RequestGuard() = default;
    /// `host` and `port` as bound; `token` empty: none required; `tls`: the
    /// page's own origin is https.
    RequestGuard(const std::string& host, int port, std::string token, bool tls);

    Refusal check(const httplib::Request& req) const;
    /// The Set-Cookie value that lets the page's own requests carry the token.
    std::string cookie() const;

  private:
    bool host_allowed(const std::string& host_header) const;
    bool has_token(const httplib::Request& req) const;

    std::vector<std::string> _hosts;  ///< accepted Host values; empty: any (wildcard bind)
    std::string _token;
    std::string _cookie_name;
    std::string _scheme = "http://";
};

/// A numeric query parameter; invalid_argument when missing or not a number.
double query_number(const httplib::Request& req, const std::string& name);
/// The `width` a stream is asked to show its images at, rounded up to a
/// multiple of 16 so that small differences between clients share one
/// encoding; 0 when absent (full size); invalid_argument unless a whole
/// number of pixels within the accepted range.
int query_stream_width(const httplib::Request& req);
/// A field holding a pixel position [x, y].
cv::Point2d point_field(const JsonFields& fields, const std::string& key);

}  // namespace kelvo::detail
