#pragma once

// Carries one session's terminal output into its replay and to its client.

#include <memory>
#include <string>

#include "velmora/pty/pty.h"

namespace velmora::daemon {

class SessionOutput;
class SessionTable;

// The body of a session's pump thread. Reads up to 8192 bytes at a time until the terminal ends,
// the session leaves the table (SessionOutput::end) or its shell exits (then what the terminal
// holds at that moment is read first), appends each chunk to the replay and sends it as one
// "output" event along the route that the append names; the events of chunks that were waiting
// together go out in one write. A write to a client that the session has left is given up at
// once. At the end it removes the session from the table, unless a newer session has taken the
// key meanwhile, and sends "exited" last: a client that has it no longer finds the session
// listed. Releasing the reader closes the pump's descriptor of the terminal's master side.
void pump_output(std::string key, std::unique_ptr<pty::PtyReader> reader,
                 std::shared_ptr<SessionOutput> output, std::shared_ptr<SessionTable> table);

}  // namespace velmora::daemon
