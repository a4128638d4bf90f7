#pragma once

// The few socket calls that differ between Linux and the BSDs (macOS). One implementation file
// per platform is compiled.

#include <cstddef>

#include <sys/types.h>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::daemon {

// A Unix-domain stream socket that is close-on-exec from birth where the system allows it.
Result<OwnedFd> open_stream_socket();

// Accepts one connection as a close-on-exec descriptor; empty on failure, errno then says why
// (the accept loop treats some errors differently).
OwnedFd accept_connection(int listener);

// The user id of the process at the other end of a connected Unix-domain socket.
Result<uid_t> peer_user_id(int socket);

// One send that never blocks and never raises SIGPIPE. Same return convention as send(2).
ssize_t send_without_blocking(int socket, const void* data, std::size_t size);

// Keeps the few large buffers of a resume (a replay and its line, some hundred KiB each) in the
// heap instead of mapping and unmapping them for every resume, which costs a page fault per page.
void tune_allocator();

}  // namespace velmora::daemon
