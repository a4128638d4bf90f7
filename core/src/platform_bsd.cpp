#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

// The BSDs have closefrom; macOS has neither it nor an allocation-free listing of its
// descriptors (opendir of /dev/fd allocates), so there the loop up to the limit does the job.
#if defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || defined(__DragonFly__)
#define VELMORA_HAVE_CLOSEFROM 1
#else
#define VELMORA_HAVE_CLOSEFROM 0
#endif

namespace velmora::platform {

bool close_by_range_call(int first, int keep) {
#if VELMORA_HAVE_CLOSEFROM
  if (keep >= first) {
    for (int fd = first; fd < keep; ++fd) ::close(fd);
    first = keep + 1;
  }
  // Its result (void on FreeBSD, EBADF elsewhere when nothing was open) says nothing we need.
  (void)::closefrom(first);
  return true;
#else
  (void)first;
  (void)keep;
  return false;
#endif
}

bool close_by_listing(int, int) { return false; }

OwnedFd open_stream_socket() {
  // Without SOCK_CLOEXEC the flag is set right after creation; a fork in between is harmless
  // because spawned shells close every descriptor above 2 before exec.
  OwnedFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd) return fd;
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) {
    fd.reset();  // keeps errno
    return fd;
  }
#if defined(SO_NOSIGPIPE)
  int on = 1;
  // Writes to a vanished peer then fail with EPIPE even if SIGPIPE were not ignored.
  ::setsockopt(fd.get(), SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  return fd;
}

int bind_owner_only(int socket, const SocketAddress& address, bool threads_running) {
  const auto* raw = reinterpret_cast<const sockaddr*>(&address.address);
  if (!threads_running) {
    mode_t previous = ::umask(0177);
    int rc = ::bind(socket, raw, address.size);
    int error = errno;
    ::umask(previous);
    errno = error;
    return rc;
  }
  if (::bind(socket, raw, address.size) != 0) return -1;
  if (::chmod(address.address.sun_path, S_IRUSR | S_IWUSR) == 0) return 0;
  int error = errno;
  ::unlink(address.address.sun_path);
  errno = error;
  return -1;
}

bool peer_user_id(int socket, uid_t& uid) {
  gid_t gid = 0;
  return ::getpeereid(socket, &uid, &gid) == 0;
}

}  // namespace velmora::platform
