#pragma once

// The few calls that differ between Linux and the BSDs (macOS). One implementation file
// per platform is compiled.

#include <cstddef>

#include <sys/types.h>

#include "velmora/core/owned_fd.h"

namespace velmora::daemon {

// Accepts one connection as a close-on-exec, blocking descriptor (whatever the listener's
// O_NONBLOCK); empty on failure, errno then says why (the accept loop treats some errors
// differently).
OwnedFd accept_connection(int listener);

// One send that never blocks and never raises SIGPIPE. Same return convention as send(2).
ssize_t send_without_blocking(int socket, const void* data, std::size_t size);

// Keeps the few large buffers of a resume (a replay and its line, some hundred KiB each) in the
// heap instead of mapping and unmapping them for every resume, which costs a page fault per page.
void tune_allocator();

}  // namespace velmora::daemon
