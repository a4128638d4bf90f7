#pragma once

// The Unix-domain stream sockets that clients and the daemon talk over: the socket's path and
// address, opening, connecting, binding and listening, and who is at the other end. What differs
// between the systems lives in core's platform files.

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <string>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora {

// VELMORAD_SOCKET when it is set and valid UTF-8 (even empty), else the default path of our
// own user.
std::string resolve_socket_path();

struct SocketAddress {
  sockaddr_un address{};
  socklen_t size = 0;
};

// The address of path. Errors: "path must be shorter than SUN_LEN"; ENOENT for the empty path,
// which names no file. Nothing is allocated by the calls below that take an address, so one
// formed before a fork may be used in the child.
Result<SocketAddress> socket_address(const std::string& path);

// A stream socket that is close-on-exec from birth where the system allows it, and that never
// raises SIGPIPE where the system has a socket option for that.
Result<OwnedFd> open_stream_socket();

// Connects socket to address, again after an interrupted call. Returns 0, or -1 with errno set:
// callers tell a refused or missing socket from other failures.
int connect_socket(int socket, const SocketAddress& address);

// A new socket connected to path; the error text is the OS error's display rendering, or
// "path must be shorter than SUN_LEN".
Result<OwnedFd> connect_to(const std::string& path);

// Whether other threads may run while a call changes process-wide state.
enum class Threads { not_yet, running };

// Binds socket to address so that the file is created with mode 0600 and no other user can ever
// connect through it. Returns 0, or -1 with errno set; a file already at the path makes it fail
// (EADDRINUSE) and is left alone. Linux sets the mode on the socket before bind. Elsewhere,
// before other threads exist, the umask is narrowed around the bind; once they run (a shell
// started meanwhile would inherit that umask) the mode is changed right after the bind, and the
// peer check refuses any other user in between.
int bind_owner_only(int socket, const SocketAddress& address, Threads threads);

// Starts listening with the largest backlog the system allows. Returns 0, or -1 with errno set.
int listen_socket(int socket);

// A socket listening at path, its file made by bind_owner_only; the file is removed again when
// listening fails. The error text is the OS error's display rendering, or the address's.
Result<OwnedFd> listen_owner_only(const std::string& path, Threads threads);

// Asks for room for at least bytes of unsent data on socket (the system may grant less, up to
// its own limit). Returns 0, or -1 with errno set.
int widen_send_buffer(int socket, int bytes);

// The user id of the process at the other end of a connected socket.
Result<uid_t> peer_user_id(int socket);

}  // namespace velmora
