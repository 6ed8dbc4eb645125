// Where the kit's log channels write: standard error by default, or sinks a
// host installs (the Python package forwards every channel to `logging`).
#pragma once

#include <vector>

#include <spdlog/spdlog.h>

#include "kelvo/export.hpp"

namespace kelvo {

/// Routes every channel, those created later included, to `sinks` at
/// `level`. An empty list restores the standard-error sink at info level.
/// Call it before sources run: a channel's sinks are swapped without a lock.
KELVO_API void set_log_sinks(std::vector<spdlog::sink_ptr> sinks, spdlog::level::level_enum level);

}  // namespace kelvo
