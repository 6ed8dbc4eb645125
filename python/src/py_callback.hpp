// Calling Python from the kit's threads, and closing what Python left open
// when the interpreter exits.
#pragma once

#include <functional>
#include <memory>

#include "native.hpp"

namespace kelvo::py {

/// Calls the Python callable `fn` with the argument `make_arg` builds, under
/// the interpreter lock, from any thread. A Python exception is turned into a
/// kit RuntimeError carrying its type, message and traceback, thrown after the
/// lock is released, so the kit logs it with its "(non-fatal)" message and
/// carries on. Does nothing once the interpreter is going away.
void call_python(const PyRefPtr& fn, const std::function<nb::object()>& make_arg);

/// Things the interpreter's exit must stop (pipelines, recordings, sources),
/// stopped in registration-kind order: every pipeline, then every recording,
/// then every source. Held weakly: what Python already freed is skipped.
enum class ExitOrder { pipeline = 0, recording = 1, source = 2 };
void stop_at_exit(ExitOrder order, std::weak_ptr<void> object, std::function<void()> stop);

/// The atexit hook: stops all of the above with the interpreter lock
/// released, then stops the kit's threads from entering Python.
void shutdown_for_exit();

}  // namespace kelvo::py
