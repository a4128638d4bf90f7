#pragma once

// Carries one session's terminal output into its replay and to its client.

#include <memory>
#include <string>

#include "velmora/pty/pty.h"

namespace velmora::daemon {

class OutputRoute;
class SessionTable;
class SharedReplay;

// The body of a session's pump thread. Reads up to 8192 bytes at a time until the terminal ends,
// appends each chunk to the replay and sends it as one "output" event through the slot that the
// route names at that moment. Then it removes the session from the table, unless a newer session
// (one with another replay) has taken the key meanwhile, and sends "exited" last: a client that
// has it no longer finds the session listed.
void pump_output(std::string key, std::unique_ptr<pty::PtyReader> reader,
                 std::shared_ptr<SharedReplay> replay, std::shared_ptr<OutputRoute> route,
                 std::shared_ptr<SessionTable> table);

}  // namespace velmora::daemon
