// Ctrl-C (SIGINT) and SIGTERM for commands that can stop cleanly: the first
// signal asks the command to finish the frame in hand, close its files and
// report; a second one ends the process at once with status 130.
#pragma once

namespace kelvo::cli {

/// Installs the handlers for the rest of the process (a second signal that
/// arrives while the command winds down must still find them). Commands
/// that do not poll `interrupted()` do not call it and keep the default
/// behaviour.
void catch_interrupts();

/// True once SIGINT or SIGTERM arrived after catch_interrupts().
bool interrupted();

}  // namespace kelvo::cli
