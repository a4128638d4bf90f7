#pragma once

// The signals an attachment answers (SIGWINCH, SIGCONT and those that end it), turned into
// bytes on a pipe so that the event loop sees them among its descriptors.

#include <csignal>
#include <memory>
#include <vector>

#include "velmora/core/owned_fd.h"
#include "velmora/core/result.h"

namespace velmora::client {

inline constexpr int HANDLED_SIGNALS[] = {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCONT};

// Installs the handlers for its lifetime and puts the previous ones back afterwards. One at a
// time per process.
class SignalPipe {
 public:
  static Result<std::unique_ptr<SignalPipe>> install();
  ~SignalPipe();
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  int read_end() const { return m_ends[0].get(); }

  // The signals noted since the last call, each at most once.
  std::vector<int> take();

 private:
  SignalPipe() = default;
  OwnedFd m_ends[2];
  struct sigaction m_previous[std::size(HANDLED_SIGNALS)]{};
};

// The signal that asks us to end (SIGTERM, SIGHUP, SIGINT, SIGQUIT) since install(), or 0.
int stop_signal();
inline bool stop_requested() { return stop_signal() != 0; }

}  // namespace velmora::client
