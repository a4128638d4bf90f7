#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

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

}  // namespace velmora::platform
