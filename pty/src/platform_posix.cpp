#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>

#include "platform.h"

#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

#if defined(__linux__)
#include <sched.h>
#include <sys/syscall.h>
#endif

// A child that shares the parent's memory is invisible to the sanitizers' bookkeeping, so
// instrumented builds take the fork path. Defining VELMORA_PTY_SHARED_MEMORY_CHILD=0 forces it
// (to compare the two).
#if !defined(VELMORA_PTY_SHARED_MEMORY_CHILD)
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VELMORA_PTY_SHARED_MEMORY_CHILD 1
#else
#define VELMORA_PTY_SHARED_MEMORY_CHILD 0
#endif
#endif

namespace velmora::pty::platform {
namespace {

// Reads a descriptor number the way /dev/fd names them: an optional sign, then decimal digits,
// within the signed 32-bit range. Returns -1 for names that are not numbers ("." and "..").
long parse_fd_name(const char* name) {
  const char* p = name;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (*p == '\0') return -1;
  std::int64_t value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return -1;
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX + std::int64_t{1}) return -1;
  }
  if (negative) value = -value;
  if (value < 0 || value > INT32_MAX) return -1;
  return static_cast<long>(value);
}

}  // namespace

// The portable sweep: list /dev/fd, then close what was listed. opendir allocates, so this relies
// on the allocator staying usable in a forked child. Numbers are gathered in a fixed array; a
// listing longer than that is swept in several passes.
void close_from_3_by_dev_fd_listing() {
  constexpr std::size_t kBatch = 256;
  for (;;) {
    DIR* dir = ::opendir("/dev/fd");
    if (dir == nullptr) return;
    int numbers[kBatch];
    std::size_t count = 0;
    bool more = false;
    while (struct dirent* entry = ::readdir(dir)) {
      long fd = parse_fd_name(entry->d_name);
      if (fd <= 2 || fd == ::dirfd(dir)) continue;
      if (count == kBatch) {
        more = true;
        break;
      }
      numbers[count++] = static_cast<int>(fd);
    }
    ::closedir(dir);
    for (std::size_t i = 0; i < count; ++i) ::close(numbers[i]);
    if (!more) return;
  }
}

#if defined(__linux__)
// Lists /proc/self/fd with raw getdents64 into a buffer on the stack: no allocation, no lock.
// Returns false when the directory cannot be opened.
bool close_from_3_by_proc_listing() {
  int dir = static_cast<int>(
      ::syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir < 0) return false;
  alignas(8) char buffer[2048];
  for (;;) {
    long n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (n <= 0) break;
    for (long offset = 0; offset < n;) {
      // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, char name[].
      unsigned short reclen;
      __builtin_memcpy(&reclen, buffer + offset + 16, sizeof reclen);
      long fd = parse_fd_name(buffer + offset + 19);
      // Entries are indexed by descriptor number, so closing them while listing is safe.
      if (fd > 2 && fd != dir) ::close(static_cast<int>(fd));
      offset += reclen;
    }
  }
  ::close(dir);
  return true;
}
#else
bool close_from_3_by_proc_listing() { return false; }
#endif

namespace {

#if VELMORA_PTY_SHARED_MEMORY_CHILD
struct Trampoline {
  int (*entry)(void*);
  void* argument;
  sigset_t mask;
};

// Runs on the child's own stack with every signal blocked. The parent's handlers must never run
// in a child that shares its memory, so they are reset to the default action before the calling
// thread's mask is restored; exec would reset them anyway.
int trampoline(void* raw) {
  auto* t = static_cast<Trampoline*>(raw);
  struct sigaction current;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (::sigaction(sig, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN || current.sa_handler == SIG_DFL) continue;
    struct sigaction deflt = {};
    deflt.sa_handler = SIG_DFL;
    ::sigemptyset(&deflt.sa_mask);
    ::sigaction(sig, &deflt, nullptr);
  }
  ::pthread_sigmask(SIG_SETMASK, &t->mask, nullptr);
  return t->entry(t->argument);
}
#endif

}  // namespace

int open_pty(int* master, int* slave, void* winsize) {
  return ::openpty(master, slave, nullptr, nullptr, static_cast<struct winsize*>(winsize));
}

int pipe_cloexec(int fds[2]) {
#if defined(__linux__)
  return ::pipe2(fds, O_CLOEXEC);
#else
  // Without pipe2 there is a short window in which a fork on another thread inherits the ends;
  // such a child loses them to its own descriptor sweep.
  if (::pipe(fds) != 0) return -1;
  for (int i = 0; i < 2; ++i) {
    if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) == -1) {
      int saved = errno;
      ::close(fds[0]);
      ::close(fds[1]);
      errno = saved;
      return -1;
    }
  }
  return 0;
#endif
}

void close_descriptors_from_3() {
#if defined(__linux__)
#if defined(SYS_close_range)
  if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
    // ENOSYS on kernels before 5.9: list the descriptors instead.
#endif
#endif
  if (close_from_3_by_proc_listing()) return;
  close_from_3_by_dev_fd_listing();
}

bool start_child_shares_memory() { return VELMORA_PTY_SHARED_MEMORY_CHILD != 0; }

pid_t start_child(int (*entry)(void*), void* argument) {
#if VELMORA_PTY_SHARED_MEMORY_CHILD
  // The same steps as after fork, but the child borrows the parent's address space until exec
  // (as vfork does), so starting it does not copy page tables. It needs a stack of its own.
  constexpr std::size_t kStackSize = 128 * 1024;
  void* stack = ::mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack != MAP_FAILED) {
    Trampoline t{entry, argument, {}};
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &t.mask);
    pid_t pid = ::clone(trampoline, static_cast<char*>(stack) + kStackSize,
                        CLONE_VM | CLONE_VFORK | SIGCHLD, &t);
    ::pthread_sigmask(SIG_SETMASK, &t.mask, nullptr);
    ::munmap(stack, kStackSize);
    if (pid > 0) return pid;
    // Refused (a sandbox that filters clone, for instance): fork does the same job.
  }
#endif
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(entry(argument));
  return pid;
}

}  // namespace velmora::pty::platform
