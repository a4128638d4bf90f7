#pragma once

// Start-up of the daemon: socket path, single-instance check, listening socket, accept loop.

#include <string>

#include <sys/types.h>

namespace velmora::daemon {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that status lines have
// somewhere to go and no socket or terminal takes those numbers. Ends the process if it cannot.
void ensure_standard_descriptors();

// Raises the soft limit on open descriptors towards the hard limit (at most 65536); failures
// leave it as it was.
void raise_descriptor_limit();

// Runs the daemon. Returns the exit status when start-up ends it (0 when a daemon of this user
// already serves the path, 1 when the socket cannot be set up); never returns once serving.
int run_daemon();

}  // namespace velmora::daemon
