#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform.h"

namespace velmora::platform {
namespace {

// The descriptor a /proc/self/fd entry names; -1 for "." and "..".
long descriptor_named(const char* name) {
  if (*name == '\0') return -1;
  std::int64_t value = 0;
  for (const char* p = name; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) return -1;
  }
  return static_cast<long>(value);
}

}  // namespace

bool close_by_range_call(int first, int keep) {
#if defined(SYS_close_range)
  auto close_range = [](unsigned from, unsigned to) {
    return ::syscall(SYS_close_range, from, to, 0u) == 0;
  };
  if (keep < first) return close_range(static_cast<unsigned>(first), ~0u);
  // ENOSYS on kernels before 5.9 comes from the first call, before anything was closed.
  if (keep > first && !close_range(static_cast<unsigned>(first), static_cast<unsigned>(keep) - 1))
    return false;
  return close_range(static_cast<unsigned>(keep) + 1, ~0u);
#else
  (void)first;
  (void)keep;
  return false;
#endif
}

bool close_by_listing(int first, int keep) {
  int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(8) char buffer[2048];
  for (;;) {
    long n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (n <= 0) break;
    for (long offset = 0; offset < n;) {
      // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, char name[].
      unsigned short reclen;
      __builtin_memcpy(&reclen, buffer + offset + 16, sizeof reclen);
      long fd = descriptor_named(buffer + offset + 19);
      // Entries are indexed by descriptor number, so closing them while listing is safe.
      if (fd >= first && fd != keep && fd != dir) ::close(static_cast<int>(fd));
      offset += reclen;
    }
  }
  ::close(dir);
  return true;
}

OwnedFd open_stream_socket() { return OwnedFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); }

int bind_owner_only(int socket, const SocketAddress& address, bool) {
  // Linux creates the file with the socket's own mode less the umask, so no moment exists in
  // which the file is open to others, and the process-wide umask is never touched.
  if (::fchmod(socket, S_IRUSR | S_IWUSR) != 0) return -1;
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&address.address), address.size) != 0)
    return -1;
  // A umask that takes the owner's own bits would leave a socket that we cannot connect to.
  if (::chmod(address.address.sun_path, S_IRUSR | S_IWUSR) == 0) return 0;
  int error = errno;
  ::unlink(address.address.sun_path);
  errno = error;
  return -1;
}

bool peer_user_id(int socket, uid_t& uid) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) return false;
  uid = credentials.uid;
  return true;
}

}  // namespace velmora::platform
