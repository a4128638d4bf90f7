#pragma once

// The few calls that differ between Linux and the BSDs (macOS). One implementation file per
// platform is compiled.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::client {

// The process id of the process at the other end of a connected Unix-domain socket.
Result<pid_t> peer_pid(int fd);

// When the process started, in the system's own units: two processes with the same id have
// different values. Nothing when the system cannot tell.
std::optional<std::uint64_t> process_start_time(pid_t pid);

// The absolute path of the running executable; empty when the system cannot tell.
std::string executable_path();

// send() that reports a closed peer as EPIPE instead of raising SIGPIPE.
ssize_t send_bytes(int fd, const void* data, std::size_t size);

// Closes every descriptor numbered first or higher except keep. Async-signal-safe, for use
// between fork and exec; limit (found before the fork) bounds the search where the system has
// no call that closes a whole range.
void close_descriptors_from(int first, int keep, int limit);

// A process of our own user that listens on a Unix-domain socket bound to path, found in the
// system's process tables, so that it is found even after the file at path has been deleted.
// Nothing when there is none, or where the system cannot tell.
std::optional<pid_t> process_listening_at(const std::string& path);

// A close-on-exec pipe: [0] reads, [1] writes.
Result<void> open_pipe(OwnedFd (&ends)[2]);

// What another process of ours is doing now. Each is nothing when the process is gone, is not
// ours to look at, or the system cannot tell.

// Its current directory.
std::optional<std::string> process_directory(pid_t pid);

// The foreground process group of its controlling terminal.
std::optional<pid_t> terminal_foreground_group(pid_t pid);

// Its arguments joined with blanks (its name alone when the arguments cannot be read).
std::optional<std::string> process_command_line(pid_t pid);

}  // namespace velmora::client
