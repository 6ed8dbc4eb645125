// The kit's log channels forwarded to Python's `logging` under the same
// names and levels.
#pragma once

namespace kelvo::py {

/// Routes every kit channel to Python. Records are queued by the thread that
/// logs and handed to `logging` by a forwarding thread of their own, so a
/// kit thread that logs while holding a kit lock never waits for the
/// interpreter lock (the lock-order inversion behind binding deadlocks).
void start_log_forwarding();
/// Waits (interpreter lock released) until every record logged before the
/// call reached Python.
void flush_python_logs();
/// Drops later records and ends the forwarding thread.
void stop_log_forwarding();

}  // namespace kelvo::py
