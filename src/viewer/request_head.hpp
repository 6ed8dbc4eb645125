// The size limits of a request, checked on its head as it arrives and
// before any body is read: a request line too long is 414, headers too large
// 431, a body announced larger than allowed 413, so that no oversized
// request is ever held in memory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kelvo::detail {

struct HeadLimits {
    std::size_t request_line = 8192;
    std::size_t header_line = 8192;
    std::size_t head = 16 * 1024;  ///< request line and headers
    std::size_t body = 16 * 1024;
};

struct HeadCheck {
    enum class State { incomplete, complete, refused };
    State state = State::incomplete;
    std::size_t head_bytes = 0;      ///< complete: where the body begins
    std::size_t content_length = 0;  ///< complete: the announced body
    int status = 0;                  ///< refused: the status to answer with
    std::string message;             ///< refused
    // Where an incomplete check resumes.
    std::size_t line_at = 0;   ///< the next line to check; 0: the request line
    std::size_t searched = 0;  ///< no line feed before this
    bool has_length = false;
};

/// Checks the bytes of a request received so far (`data` begins with its
/// request line). Given the incomplete result of the same bytes' beginning,
/// it goes on from there, so that a head arriving a byte at a time costs
/// linear time in all.
HeadCheck check_head(std::string_view data, const HeadLimits& limits, HeadCheck resume = {});

/// A complete response with a JSON error body, closing the connection.
std::string error_response(int status, const std::string& message);

}  // namespace kelvo::detail
