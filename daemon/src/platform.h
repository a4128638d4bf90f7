#pragma once

// The few socket calls that differ between Linux and the BSDs (macOS). One implementation file
// per platform is compiled.

#include <cstddef>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::daemon {

// A Unix-domain stream socket that is close-on-exec from birth where the system allows it.
Result<OwnedFd> open_stream_socket();

// Accepts one connection as a close-on-exec, blocking descriptor (whatever the listener's
// O_NONBLOCK); empty on failure, errno then says why (the accept loop treats some errors
// differently).
OwnedFd accept_connection(int listener);

// The user id of the process at the other end of a connected Unix-domain socket.
Result<uid_t> peer_user_id(int socket);

// One send that never blocks and never raises SIGPIPE. Same return convention as send(2).
ssize_t send_without_blocking(int socket, const void* data, std::size_t size);

// Whether other threads may run while a call changes process-wide state.
enum class Threads { kNotYet, kRunning };

// Binds socket to address so that the file is created with mode 0600 and no other user can ever
// connect through it. Returns 0, or -1 with errno set. Linux sets the mode on the socket before
// bind. Elsewhere, before other threads exist, the umask is narrowed around the bind; once they
// run (a shell started meanwhile would inherit that umask) the mode is changed right after the
// bind, and the peer check refuses any other user in between.
int bind_owner_only(int socket, const sockaddr_un& address, socklen_t size, Threads threads);

// Keeps the few large buffers of a resume (a replay and its line, some hundred KiB each) in the
// heap instead of mapping and unmapping them for every resume, which costs a page fault per page.
void tune_allocator();

}  // namespace velmora::daemon
