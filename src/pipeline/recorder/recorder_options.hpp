// The recorder's settings checked once, before anything is opened.
#pragma once

#include <string>

#include "kelvo/pipeline/recorder.hpp"

namespace kelvo::detail {

/// The stream format in capitals ("MJPG" or "YUYV"); std::invalid_argument
/// naming the first setting a recording cannot be made with.
std::string checked_fourcc(const MkvRecorderOptions& options);

/// The option's frame rate, else the mode slug's, else 30.
double frame_rate(const MkvRecorderOptions& options);

}  // namespace kelvo::detail
