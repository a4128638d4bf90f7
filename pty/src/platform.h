#pragma once

// What differs between the platforms this layer runs on. Everything here lives in
// platform_posix.cpp; the rest of the layer is plain POSIX.

#include <sys/types.h>

namespace velmora::pty::platform {

// openpty with the size given as a struct winsize; returns 0 or -1 with errno set.
int open_pty(int* master, int* slave, void* winsize);

// A pipe whose two ends are close-on-exec from birth where the platform allows it.
int pipe_cloexec(int fds[2]);

// Closes every descriptor numbered 3 or higher. Async-signal-safe where the platform has a way
// to do it without allocating (close_range, or a raw listing of /proc/self/fd); elsewhere it lists
// /dev/fd.
void close_descriptors_from_3();

// The fallbacks of close_descriptors_from_3, exposed so that they can be exercised where the
// preferred way exists. The first returns false when /proc/self/fd cannot be listed (and always
// on platforms without it).
bool close_from_3_by_proc_listing();
void close_from_3_by_dev_fd_listing();

// Starts a child that runs entry(argument), which must end in execve or _exit and may only make
// async-signal-safe calls. Where the platform allows it the child shares the parent's memory and
// the calling thread waits until the child has replaced its image or ended, which costs the same
// however large the parent is; otherwise it is a plain fork. Either way entry starts with the
// calling thread's signal mask. Returns the child's pid, or -1 with errno set.
pid_t start_child(int (*entry)(void*), void* argument);

// Whether start_child shares memory with the child on this build (reported by the benchmark).
bool start_child_shares_memory();

}  // namespace velmora::pty::platform
