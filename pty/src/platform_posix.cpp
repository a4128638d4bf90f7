#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>

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

bool start_child_shares_memory() { return VELMORA_PTY_SHARED_MEMORY_CHILD != 0; }

pid_t start_child(int (*entry)(void*), void* argument) {
#if VELMORA_PTY_SHARED_MEMORY_CHILD
  // The same steps as after fork, but the child borrows the parent's address space until exec
  // (as vfork does), so starting it does not copy page tables. It needs a stack of its own.
  constexpr std::size_t STACK_SIZE = 128 * 1024;
  void* stack = ::mmap(nullptr, STACK_SIZE, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack != MAP_FAILED) {
    Trampoline t{entry, argument, {}};
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &t.mask);
    pid_t pid = ::clone(trampoline, static_cast<char*>(stack) + STACK_SIZE,
                        CLONE_VM | CLONE_VFORK | SIGCHLD, &t);
    ::pthread_sigmask(SIG_SETMASK, &t.mask, nullptr);
    ::munmap(stack, STACK_SIZE);
    if (pid > 0) return pid;
    // Refused (a sandbox that filters clone, for instance): fork does the same job.
  }
#endif
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(entry(argument));
  return pid;
}

}  // namespace velmora::pty::platform
