#pragma once

// The body of every connection thread: reads request lines and answers them.

#include <memory>

#include "velmora/core/owned_fd.h"

namespace velmora::daemon {

class SessionTable;

// Serves one accepted connection until it ends; ends the whole process on "shutdown".
// Never throws: an internal failure ends only this connection, with a line on standard error.
void serve(OwnedFd stream, std::shared_ptr<SessionTable> table);

}  // namespace velmora::daemon
