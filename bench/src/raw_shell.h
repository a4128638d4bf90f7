#pragma once

// The baseline: a shell on a pseudo-terminal that the benchmark itself holds, with no daemon in
// between. Output is read straight from the master side. The same holds any other program that
// a person would run in a terminal, such as a client attached to a session.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
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
  // The same with the given environment ("NAME=value" entries); with Line::raw the terminal is
  // in raw mode from the start, as a program that draws on it would set it.
  enum class Line { cooked, raw };
  static Result<RawShell> start(const std::vector<std::string>& argv, std::uint16_t rows,
                                std::uint16_t cols, const std::vector<std::string>& env,
                                Line line = Line::cooked);

  RawShell(RawShell&& other) noexcept;
  RawShell& operator=(RawShell&&) = delete;
  RawShell(const RawShell&) = delete;
  // Kills the shell's process group and reaps the shell.
  ~RawShell();

  // The master side, non-blocking.
  int master() const { return m_master.get(); }
  pid_t pid() const { return m_pid; }

  // Waits until the program has ended by itself and reaps it; false if it still runs at the
  // deadline (it is then left to the destructor).
  bool wait_exit(std::chrono::steady_clock::time_point deadline);

 private:
  RawShell(OwnedFd master, pid_t pid) : m_master(std::move(master)), m_pid(pid) {}

  OwnedFd m_master;
  pid_t m_pid = -1;
};

// This process's environment with the given variables set (replaced or added) and the named
// ones removed.
std::vector<std::string> environment_with(
    const std::vector<std::pair<std::string, std::string>>& set,
    const std::vector<std::string>& removed = {});

}  // namespace velmora::bench
