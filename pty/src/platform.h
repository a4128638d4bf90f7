#pragma once

// What differs between the platforms this layer runs on. Everything here lives in
// platform_posix.cpp; the rest of the layer is plain POSIX.

#include <sys/types.h>

namespace velmora::pty::platform {

// openpty with the size given as a struct winsize; returns 0 or -1 with errno set.
int open_pty(int* master, int* slave, void* winsize);

// A pipe whose two ends are close-on-exec from birth where the platform allows it.
int pipe_cloexec(int fds[2]);

// Starts a child that runs entry(argument), which must end in execve or _exit and may only make
// async-signal-safe calls. Where the platform allows it the child shares the parent's memory and
// the calling thread waits until the child has replaced its image or ended, which costs the same
// however large the parent is; otherwise it is a plain fork. Either way entry starts with the
// calling thread's signal mask. Returns the child's pid, or -1 with errno set.
pid_t start_child(int (*entry)(void*), void* argument);

// Whether start_child shares memory with the child on this build (reported by the benchmark).
bool start_child_shares_memory();

}  // namespace velmora::pty::platform
