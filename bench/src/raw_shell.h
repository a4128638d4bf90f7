#pragma once

// The baseline: a shell on a pseudo-terminal that the benchmark itself holds, with no daemon in
// between. Output is read straight from the master side.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::bench {

class RawShell {
 public:
  // Starts argv[0] with the given arguments as a session leader on a new terminal of the given
  // size, with this process's environment.
  static Result<RawShell> start(const std::vector<std::string>& argv, std::uint16_t rows,
                                std::uint16_t cols);

  RawShell(RawShell&& other) noexcept;
  RawShell& operator=(RawShell&&) = delete;
  RawShell(const RawShell&) = delete;
  // Kills the shell's process group and reaps the shell.
  ~RawShell();

  // The master side, non-blocking.
  int master() const { return m_master.get(); }
  pid_t pid() const { return m_pid; }

 private:
  RawShell(OwnedFd master, pid_t pid) : m_master(std::move(master)), m_pid(pid) {}

  OwnedFd m_master;
  pid_t m_pid = -1;
};

}  // namespace velmora::bench
