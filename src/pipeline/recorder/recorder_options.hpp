// The recorder's settings checked once, before anything is opened.
#pragma once

#include <string>

#include "kelvo/pipeline/recorder.hpp"

namespace kelvo::detail {

/// The stream format in capitals ("MJPG" or "YUYV"); std::invalid_argument
/// naming the first setting a recording cannot be made with.
std::string checked_fourcc(const MkvRecorderOptions& options);

/// An event's payload as the file holds it; std::invalid_argument naming
/// `what` unless it is a JSON object that can be written.
std::string event_text(const Json& value, const char* what);

/// The option's frame rate, else the mode slug's, else 30.
double frame_rate(const MkvRecorderOptions& options);

}  // namespace kelvo::detail
