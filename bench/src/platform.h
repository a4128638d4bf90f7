#pragma once

// What the benchmark reads about another process that POSIX does not offer: its CPU time and
// its resident memory.

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace velmora::bench {

// CPU time that a process has used so far, all threads included, in seconds.
struct CpuTimes {
  double user = 0;
  double system = 0;
  double total() const { return user + system; }
};

std::optional<CpuTimes> process_cpu_times(pid_t pid);

// The process's resident set size in bytes.
std::optional<std::uint64_t> process_rss_bytes(pid_t pid);

}  // namespace velmora::bench
