#pragma once

// Front ends run on a pseudo-terminal that the benchmark reads, as a person's terminal would:
// the velmora client attached to a session, tmux's client for the reference rows, and the bare
// relay for the floor of any client. Beside them, the raw baseline's shell.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "raw_shell.h"
#include "terminal.h"
#include "velmora/core/result.h"

namespace velmora::bench {

// The rows and columns of every terminal that the benchmark opens.
inline constexpr std::uint16_t ROWS = 24;
inline constexpr std::uint16_t COLS = 80;

// The client's detach key.
inline constexpr std::string_view VELMORA_DETACH = "\x1c";

// argv on a terminal of its own (ROWS x COLS) that the benchmark reads, with env ("NAME=value"
// entries; this process's environment when empty), cooked or raw from the start.
Result<RawTerminal> start_on_terminal(const std::vector<std::string>& argv,
                                      const std::vector<std::string>& env = {},
                                      RawShell::Line line = RawShell::Line::cooked);

// The raw baseline: shell as a login shell on a terminal of its own, with this process's
// environment.
Result<RawTerminal> start_raw_shell(const std::string& shell);
// The same shell with the same environment, run by the relay (velmora_relay) on a second
// terminal of the same size: what every client that sits between two terminals pays.
Result<RawTerminal> start_relay(const std::string& relay, const std::string& shell);

// Starts `client attach key` talking to the daemon at socket, on a terminal of its own.
Result<RawTerminal> start_velmora_client(const std::string& client, const std::string& socket,
                                         const std::string& key);
// The same for any command of the client, e.g. {"version"}.
Result<RawTerminal> start_velmora(const std::string& client, const std::string& socket,
                                  const std::vector<std::string>& args);

// Types the detach key (if any) and reads the terminal until the program has ended.
Result<void> detach(RawTerminal& terminal, std::string_view keys, Clock::time_point deadline);
// Reads the terminal until the program has ended and closed it, then reaps the program.
Result<void> wait_end(RawTerminal& terminal, Clock::time_point deadline);

// The absolute path of a program on PATH; empty when there is none.
std::string find_on_path(const std::string& name);

// Runs a program to its end with this process's environment; its standard output, or a failure
// when it cannot start, fails or outlives the deadline.
Result<std::string> run_program(const std::vector<std::string>& argv, Clock::time_point deadline);

// A tmux server on a private socket, without any configuration file and without a status line,
// whose sessions run shell on 80x24 windows. The server is killed with the object.
class TmuxServer {
 public:
  static Result<TmuxServer> start(const std::string& tmux, const std::string& socket,
                                  const std::string& shell, const std::string& first_session);
  TmuxServer(TmuxServer&& other) noexcept;
  TmuxServer& operator=(TmuxServer&&) = delete;
  TmuxServer(const TmuxServer&) = delete;
  ~TmuxServer();

  Result<void> new_session(const std::string& name) const;
  // Detaches every client of the session.
  Result<void> detach_clients(const std::string& name) const;
  // `tmux attach` to the session, on a terminal of its own.
  Result<RawTerminal> attach(const std::string& name) const;
  pid_t pid() const { return m_pid; }

 private:
  TmuxServer(std::string tmux, std::string socket, std::string shell)
      : m_tmux(std::move(tmux)), m_socket(std::move(socket)), m_shell(std::move(shell)) {}
  Result<std::string> command(std::vector<std::string> args) const;

  std::string m_tmux;
  std::string m_socket;
  std::string m_shell;
  pid_t m_pid = -1;
};

}  // namespace velmora::bench
