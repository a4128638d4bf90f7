#include "attach_loop.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "attachment.h"
#include "daemon_connection.h"
#include "daemon_launcher.h"
#include "display_text.h"
#include "io_util.h"
#include "mode_tracker.h"
#include "new_session.h"
#include "platform.h"
#include "resume_display.h"
#include "seen_history.h"
#include "signal_pipe.h"
#include "terminal.h"

namespace velmora::client {
namespace {

constexpr auto FINAL_WRITE_TIME = std::chrono::seconds(2);

// A terminal that takes nothing (stopped with Ctrl-S, or gone) does not keep us from ending.
void print_line(const std::string& text, int fd) {
  std::string line = text + "\n";
  (void)write_within(fd, line, FINAL_WRITE_TIME);
}

}  // namespace

int run_attach(const AttachCommand& command) {
  if (!::isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "velmora: attach needs a terminal on standard input\n");
    return 1;
  }
  std::string path = daemon_socket_path();
  if (attaches_to_itself(command.key, path, std::getenv(SESSION_VARIABLE),
                         std::getenv(SOCKET_VARIABLE))) {
    // Its output would be shown inside itself, which is more output, without end.
    std::fprintf(stderr, "velmora: refusing to attach session %s to itself\n",
                 printable(command.key).c_str());
    return 1;
  }
  if (command.require == Require::existing) {
    if (auto found = find_session(path, command.key); !found) {
      std::fprintf(stderr, "velmora: %s\n", found.error().text().c_str());
      return 1;
    }
  }
  auto socket = connect_or_start(path);
  if (!socket) {
    std::fprintf(stderr, "velmora: %s\n", socket.error().text().c_str());
    return 1;
  }
  ::fcntl(socket->get(), F_SETFL, ::fcntl(socket->get(), F_GETFL) | O_NONBLOCK);
  WindowSize size = terminal_size();

  auto signals = SignalPipe::install();
  if (!signals) {
    std::fprintf(stderr, "velmora: %s\n", signals.error().text().c_str());
    return 1;
  }
  auto raw = RawMode::enter(STDIN_FILENO);
  if (!raw) {
    std::fprintf(stderr, "velmora: cannot put the terminal in raw mode: %s\n",
                 raw.error().text().c_str());
    return 1;
  }

  // Which daemon this is, to tell a lost connection from a daemon that was replaced.
  auto peer = peer_pid(socket->get());
  pid_t daemon_pid = peer ? *peer : 0;
  ResumeDisplay display(path, command.key, command.history, terminal_identity(STDIN_FILENO));
  Attachment attachment(command, path, std::move(*socket), size, display, daemon_pid);
  Outcome outcome = attachment.run(**signals, *raw);

  // Leave the user's terminal as we found it: modes that the session switched on go off, the
  // cursor on a fresh line, then the saved settings come back. After a hangup the terminal is
  // probably gone; the writes then fail or give up soon.
  bool hung_up = stop_signal() == SIGHUP || outcome == Outcome::terminal_gone;
  ModeTracker after = attachment.modes();
  std::string reset = after.reset_sequence();
  after.feed(reset);
  if (!after.at_line_start()) reset += "\r\n";
  (void)write_within(STDOUT_FILENO, reset, FINAL_WRITE_TIME);
  raw->restore(hung_up ? Drain::skip : Drain::wait);

  if (outcome == Outcome::exited) {
    display.forget(attachment.shell_pid());
  } else if (!hung_up) {
    display.remember(attachment.shell_pid(), attachment.shown());
  }

  std::string key = printable(command.key);
  switch (outcome) {
    case Outcome::detached:
      print_line("[detached from " + key + "]", STDOUT_FILENO);
      return 0;
    case Outcome::exited:
      print_line("[" + key + " exited]", STDOUT_FILENO);
      return 0;
    case Outcome::attached_elsewhere:
      print_line("[" + key + " attached elsewhere]", STDOUT_FILENO);
      return 0;
    case Outcome::daemon_gone:
      print_line("[daemon went away]", STDOUT_FILENO);
      return 1;
    case Outcome::failed:
      print_line("velmora: " + attachment.failure(), STDERR_FILENO);
      return 1;
    case Outcome::terminal_gone:
      print_line("[detached from " + key + "]", STDOUT_FILENO);
      return 1;
    case Outcome::signalled:
      print_line("[detached from " + key + "]", STDOUT_FILENO);
      return 128 + stop_signal();
  }
  return 1;
}

}  // namespace velmora::client
