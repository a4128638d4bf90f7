#pragma once

// The handle of a started process.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "velmora/core/result.h"

namespace velmora::pty {

class ChildKiller {
 public:
  virtual ~ChildKiller() = default;
  // SIGHUP, up to five non-blocking polls 50 ms apart, then SIGKILL if still alive. Never signals
  // a process that has already been collected.
  virtual Result<void> kill() = 0;
};

// Every started process is collected in the background as soon as it exits (within about 100 ms),
// whether its handle is still held or not, so no zombie stays behind; the handle keeps the
// status. Releasing a Child never signals the process. kill() may be called from any thread.
class Child : public ChildKiller {
 public:
  virtual std::optional<std::uint32_t> process_id() const = 0;
  // Runs notice once the process has been collected, or at once if it has been already. It runs
  // on the thread that collects the process (the background collection, or a kill), so it must
  // be quick and must not block. A later call replaces a notice that has not run yet.
  virtual void on_exit(std::function<void()> notice) = 0;
};

// Starts the background collection of exited children now rather than with the first child, so
// that a caller can report a failure (the error text is the cause). Without it, or after a
// failure, every started child tries again.
Result<void> start_collecting();

// The kill sequence of every child at once: each gets its own SIGHUP, five polls 50 ms apart and
// SIGKILL, but the polls run side by side, so the whole takes about 200 ms however many there are.
// Every child must have been started by spawn_command; null entries are skipped.
void kill_all(std::span<Child* const> children);

}  // namespace velmora::pty
