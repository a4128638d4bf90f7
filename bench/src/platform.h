#pragma once

// What the benchmark reads about another process that POSIX does not offer: its CPU time and
// its resident memory.

#include <cstdint>
#include <optional>

#include <sys/types.h>

namespace velmora::bench {

// User plus system CPU time that the process has used so far, all threads included.
std::optional<double> process_cpu_seconds(pid_t pid);

// The process's resident set size in bytes.
std::optional<std::uint64_t> process_rss_bytes(pid_t pid);

}  // namespace velmora::bench
