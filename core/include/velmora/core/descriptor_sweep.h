#pragma once

// Closing every inherited descriptor in a child, between fork and exec.

namespace velmora {

// Prepared before the fork, run in the child. Running it closes every descriptor numbered 3 or
// higher except one that may be kept, allocates nothing, takes no lock and makes only
// async-signal-safe calls, so it is safe in the child of a threaded process.
class DescriptorSweep {
 public:
  static constexpr int KEEP_NONE = -1;

  // Reads the descriptor limit, which bounds the last way of closing. keep: a descriptor to
  // leave open (3 or higher), or KEEP_NONE.
  static DescriptorSweep prepare(int keep = KEEP_NONE);

  // Closes them the fastest way the system has: one call that closes a whole range (close_range,
  // closefrom), else a listing of the open descriptors (Linux's /proc/self/fd), else a close of
  // every number below the limit.
  void run() const;

  int keep() const { return m_keep; }
  // Descriptors are numbered below this (the soft RLIMIT_NOFILE when it was prepared).
  int limit() const { return m_limit; }

 private:
  DescriptorSweep(int keep, int limit) : m_keep(keep), m_limit(limit) {}

  int m_keep;
  int m_limit;
};

}  // namespace velmora
