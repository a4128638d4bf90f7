#pragma once

// What differs between the platforms the protocol library runs on: one of platform_linux.cpp
// and platform_bsd.cpp is compiled.

#include <sys/types.h>

#include "velmora/core/owned_fd.h"
#include "velmora/core/unix_socket.h"

namespace velmora::platform {

// Socket calls (unix_socket.cpp builds on them). Failures leave errno set.

// A Unix-domain stream socket, close-on-exec and without SIGPIPE where the system allows it;
// empty on failure.
OwnedFd open_stream_socket();

// The binding of velmora::bind_owner_only; threads_running is its Threads::running.
int bind_owner_only(int socket, const SocketAddress& address, bool threads_running);

// False on failure.
bool peer_user_id(int socket, uid_t& uid);

// The ways DescriptorSweep::run tries in turn, each closing every descriptor numbered first or
// higher except keep (which may be below first, i.e. none). Exposed so that the tests can run
// each of them where an earlier one would do the job. Async-signal-safe, no allocation.

// One call of the system's that closes a range (close_range, closefrom). False when the system
// has none or refuses it (close_range on Linux before 5.9); then nothing has been closed.
bool close_by_range_call(int first, int keep);

// Closes what a listing of the open descriptors names (Linux: /proc/self/fd read with raw
// getdents64 into a buffer on the stack). False when they cannot be listed that way, as on
// platforms whose only listing (opendir of /dev/fd) allocates.
bool close_by_listing(int first, int keep);

// The portable last resort, in descriptor_sweep.cpp: a close of every number below limit.
void close_by_loop(int first, int keep, int limit);

}  // namespace velmora::platform
