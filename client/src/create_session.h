#pragma once

// `velmora new`: a session that did not exist, a command typed into it, then an attach.

#include <chrono>
#include <optional>
#include <string_view>

#include "cli.h"

namespace velmora::client {

// Tells when a new shell is ready for typed input: once it has shown something that does not
// end a line (its prompt) and then nothing more for a moment. Input typed earlier, while the
// shell still runs its start-up files, is echoed by the terminal before the shell's line editor
// shows it again, or is even thrown away. A shell that shows no such prompt gets the input
// after a longer wait.
class PromptWatch {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds QUIET{100};
  static constexpr std::chrono::milliseconds PATIENCE{5000};

  explicit PromptWatch(Clock::time_point start) : m_give_up_at(start + PATIENCE) {}

  void saw_output(std::string_view bytes, Clock::time_point now);
  bool ready(Clock::time_point now) const;
  // The next moment at which ready() may turn true without more output.
  Clock::time_point next_check() const;

 private:
  Clock::time_point m_give_up_at;
  std::optional<Clock::time_point> m_quiet_at;  // when the shell has looked idle long enough
};

// Runs `velmora new`; returns the process exit status.
int run_new(const NewCommand& command);

}  // namespace velmora::client
