// Where the kit's log channels write: standard error by default, or sinks a
// host installs (the Python package forwards every channel to `logging`).
#pragma once

#include <vector>

#include <spdlog/spdlog.h>

#include "kelvo/export.hpp"

namespace kelvo {

/// Routes every channel, those created later included, to `sinks` at
/// `level`. An empty list restores the standard-error sink at info level.
/// Safe at any time, also while other threads log: a record goes either to
/// the old sinks or to the new ones.
KELVO_API void set_log_sinks(std::vector<spdlog::sink_ptr> sinks, spdlog::level::level_enum level);

}  // namespace kelvo
