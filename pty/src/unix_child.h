#pragma once

// The POSIX child handle.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "velmora/core/result.h"
#include "velmora/pty/child.h"

namespace velmora::pty {

class UnixChild final : public Child {
 public:
  explicit UnixChild(pid_t pid) : m_pid(pid) {}
  // Polls once; a process still running is handed to the background reaper. Never signals.
  ~UnixChild() override;
  UnixChild(const UnixChild&) = delete;
  UnixChild& operator=(const UnixChild&) = delete;

  Result<void> kill() override;
  std::optional<std::uint32_t> process_id() const override {
    return static_cast<std::uint32_t>(m_pid);
  }

  // The steps of kill(), also run side by side by kill_all().
  // Sends sig unless the process has been collected (then nothing is sent, and it succeeds).
  Result<void> signal_unless_collected(int sig);
  // One non-blocking poll; true once the process has been collected.
  bool poll_exited();

  // The wait status once collected; -1 when something else in the process collected it.
  std::optional<int> exit_status() const;

 private:
  const pid_t m_pid;
  // Guards m_status. Held across the signal and the poll so that a pid is never signalled
  // after it was collected (and possibly reused).
  mutable std::mutex m_mutex;
  std::optional<int> m_status;
};

}  // namespace velmora::pty
