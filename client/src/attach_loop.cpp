#include "attach_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "attach_stream.h"
#include "daemon_connection.h"
#include "daemon_launcher.h"
#include "detach_key.h"
#include "display_text.h"
#include "io_util.h"
#include "mode_tracker.h"
#include "platform.h"
#include "resume_display.h"
#include "session_check.h"
#include "terminal.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/os_error.h"
#include "velmora/core/unicode.h"

extern char** environ;

namespace velmora::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t READ_CHUNK = 256 * 1024;
// Past this much unsent input, stop reading the keyboard until the daemon catches up. Input
// comes from a person (or a paste), so this is only a bound for the pathological case; below
// it, the detach key keeps working even while the session does not take its input.
constexpr std::size_t OUTGOING_LIMIT = 64 * 1024 * 1024;
constexpr auto REDRAW_DELAY = std::chrono::milliseconds(100);
constexpr auto FLUSH_ON_EXIT = std::chrono::seconds(2);
constexpr auto FINAL_WRITE_TIME = std::chrono::seconds(2);

// Signal handlers only note the signal and wake the loop through a pipe.
volatile std::sig_atomic_t g_stop_signal = 0;
int g_signal_pipe = -1;

void on_signal(int signo) {
  int saved_errno = errno;
  if (signo == SIGTERM || signo == SIGHUP || signo == SIGINT || signo == SIGQUIT)
    g_stop_signal = signo;
  unsigned char byte = static_cast<unsigned char>(signo);
  ssize_t ignored = ::write(g_signal_pipe, &byte, 1);
  (void)ignored;
  errno = saved_errno;
}

bool stop_requested() { return g_stop_signal != 0; }

constexpr int HANDLED_SIGNALS[] = {SIGWINCH, SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCONT};

// Installs the handlers for its lifetime and puts the previous ones back afterwards.
class SignalPipe {
 public:
  static Result<std::unique_ptr<SignalPipe>> install() {
    auto pipe = std::unique_ptr<SignalPipe>(new SignalPipe());
    if (auto made = open_pipe(pipe->m_ends); !made) return made.error();
    for (auto& end : pipe->m_ends)
      ::fcntl(end.get(), F_SETFL, ::fcntl(end.get(), F_GETFL) | O_NONBLOCK);
    g_stop_signal = 0;
    g_signal_pipe = pipe->m_ends[1].get();
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a write to a stuck terminal must return so that SIGTERM can end us.
    action.sa_flags = 0;
    for (std::size_t i = 0; i < std::size(HANDLED_SIGNALS); ++i)
      ::sigaction(HANDLED_SIGNALS[i], &action, &pipe->m_previous[i]);
    return pipe;
  }
  ~SignalPipe() {
    for (std::size_t i = 0; i < std::size(HANDLED_SIGNALS); ++i)
      ::sigaction(HANDLED_SIGNALS[i], &m_previous[i], nullptr);
    g_signal_pipe = -1;
  }
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  int read_end() const { return m_ends[0].get(); }

  // The signals noted since the last call, each at most once.
  std::vector<int> take() {
    std::vector<int> seen;
    unsigned char bytes[64];
    ssize_t n;
    while ((n = ::read(m_ends[0].get(), bytes, sizeof bytes)) > 0)
      for (ssize_t i = 0; i < n; ++i)
        if (std::find(seen.begin(), seen.end(), bytes[i]) == seen.end()) seen.push_back(bytes[i]);
    return seen;
  }

 private:
  SignalPipe() = default;
  OwnedFd m_ends[2];
  struct sigaction m_previous[std::size(HANDLED_SIGNALS)]{};
};

// Lines from the daemon, read in large chunks; a line may be longer than a chunk (a replay).
class LineBuffer {
 public:
  // Reads what is available; 0 at end of stream, -1 on error (errno set).
  ssize_t fill(int fd) {
    if (m_start > 0 && m_start == m_end) m_start = m_end = m_scan = 0;
    if (m_data.size() - m_end < READ_CHUNK) {
      if (m_start > 0) {
        std::memmove(m_data.data(), m_data.data() + m_start, m_end - m_start);
        m_end -= m_start;
        m_scan -= m_start;
        m_start = 0;
      }
      if (m_data.size() - m_end < READ_CHUNK) m_data.resize(m_end + READ_CHUNK);
    }
    ssize_t n;
    do {
      n = ::read(fd, m_data.data() + m_end, m_data.size() - m_end);
    } while (n < 0 && errno == EINTR);
    if (n > 0) m_end += static_cast<std::size_t>(n);
    return n;
  }

  // The next complete line without its newline (and without one carriage return before it).
  std::optional<std::string_view> next_line() {
    const char* begin = m_data.data();
    const void* newline = std::memchr(begin + m_scan, '\n', m_end - m_scan);
    if (newline == nullptr) {
      m_scan = m_end;
      return std::nullopt;
    }
    std::size_t at = static_cast<std::size_t>(static_cast<const char*>(newline) - begin);
    std::string_view line(begin + m_start, at - m_start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    m_start = m_scan = at + 1;
    return line;
  }

 private:
  std::vector<char> m_data;
  std::size_t m_start = 0;  // first byte not yet handed out
  std::size_t m_scan = 0;   // where the search for the next newline goes on
  std::size_t m_end = 0;    // end of the bytes read
};

enum class Outcome {
  Detached,
  Exited,
  AttachedElsewhere,
  DaemonGone,
  Failed,
  TerminalGone,
  Signalled
};

class Attachment {
 public:
  Attachment(const AttachCommand& command, std::string socket_path, OwnedFd socket, WindowSize size,
             const ResumeDisplay& display, pid_t daemon_pid)
      : m_command(command),
        m_socket_path(std::move(socket_path)),
        m_socket(std::move(socket)),
        m_stream(command.key, drawer()),
        m_size(size),
        m_detach_key(command.detach_key),
        m_display(display),
        m_daemon_pid(daemon_pid) {}

  Outcome run(SignalPipe& signals, RawMode& raw);

  const std::string& failure() const { return m_failure; }
  const ModeTracker& modes() const { return m_modes; }
  const ShownTail& shown() const { return m_stream.shown(); }
  std::uint32_t shell_pid() const { return m_shell_pid; }

 private:
  void queue(const Request& request) { m_outgoing += encode_request(request); }
  void queue_resize(WindowSize size) { queue(ResizeRequest{m_command.key, size.cols, size.rows}); }
  void queue_attach();
  bool flush_outgoing();
  std::optional<Outcome> read_daemon();
  std::optional<Outcome> read_terminal();
  std::optional<Outcome> show(std::string_view bytes);
  AttachStream::ReplayDrawer drawer();
  std::optional<Outcome> come_back();
  void drain_outgoing();
  int poll_timeout() const;

  const AttachCommand& m_command;
  std::string m_socket_path;
  OwnedFd m_socket;
  AttachStream m_stream;
  WindowSize m_size;
  LineBuffer m_lines;
  std::string m_outgoing;
  std::size_t m_outgoing_sent = 0;
  std::string m_screen;
  ModeTracker m_modes;
  std::optional<Clock::time_point> m_redraw_at;
  DetachKeyFilter m_detach_key;
  std::string m_failure;

  const ResumeDisplay& m_display;
  pid_t m_daemon_pid;
  std::uint32_t m_shell_pid = 0;
  bool m_came_back = false;  // the stream is a new connection after the old one was lost
  bool m_drew_alternate = false;
  // Where in m_screen a drawn screen ends, and whether its cursor is on a fresh line.
  std::optional<std::size_t> m_drawing_end;
  bool m_drawing_line_start = false;
};

AttachStream::ReplayDrawer Attachment::drawer() {
  return [this](std::string_view replay, std::uint32_t shell_pid, std::string& out) {
    // Coming back, the terminal still shows the session as it was: its modes go first.
    if (m_came_back) out += m_modes.reset_sequence();
    ResumeDrawing drawing =
        m_display.draw(replay, shell_pid, m_size, m_came_back ? &m_stream.shown() : nullptr);
    out += drawing.bytes;
    m_drew_alternate = drawing.alternate;
    m_drawing_end = out.size();
    m_drawing_line_start = drawing.at_line_start;
  };
}

void Attachment::queue_attach() {
  queue(new_session_request(m_command.key, m_size, m_socket_path));
}

std::optional<Outcome> Attachment::come_back() {
  // Only a working attachment comes back: a connection that ends before its attach was
  // answered means that the daemon is going away.
  if (!m_stream.attached()) return Outcome::DaemonGone;
  switch (check_session(m_socket_path, m_daemon_pid, m_command.key, m_shell_pid)) {
    case SessionCheck::NoDaemon:
      return Outcome::DaemonGone;
    case SessionCheck::Ended:
      return Outcome::Exited;
    case SessionCheck::Alive:
      break;
  }
  Contact contact = contact_daemon(m_socket_path);
  if (contact.reach != Reach::Connected) return Outcome::DaemonGone;
  ::fcntl(contact.fd.get(), F_SETFL, ::fcntl(contact.fd.get(), F_GETFL) | O_NONBLOCK);
  m_socket = std::move(contact.fd);
  m_lines = LineBuffer();
  // What was typed and not yet sent follows the new attach.
  std::string unsent = m_outgoing.substr(m_outgoing_sent);
  m_outgoing.clear();
  m_outgoing_sent = 0;
  m_stream = AttachStream(m_command.key, drawer(), m_stream.take_shown());
  m_came_back = true;
  m_redraw_at.reset();
  queue_attach();
  m_outgoing += unsent;
  return std::nullopt;
}

bool Attachment::flush_outgoing() {
  while (m_outgoing_sent < m_outgoing.size()) {
    ssize_t n = send_bytes(m_socket.get(), m_outgoing.data() + m_outgoing_sent,
                           m_outgoing.size() - m_outgoing_sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return false;
    }
    m_outgoing_sent += static_cast<std::size_t>(n);
  }
  if (m_outgoing_sent == m_outgoing.size()) {
    m_outgoing.clear();
    m_outgoing_sent = 0;
  }
  return true;
}

std::optional<Outcome> Attachment::show(std::string_view bytes) {
  if (bytes.empty()) return std::nullopt;
  if (m_drawing_end && *m_drawing_end <= bytes.size()) {
    // The drawing knows where its cursor is better than the bytes tell.
    m_modes.feed(bytes.substr(0, *m_drawing_end));
    m_modes.set_line_start(m_drawing_line_start);
    m_modes.feed(bytes.substr(*m_drawing_end));
  } else {
    m_modes.feed(bytes);
  }
  m_drawing_end.reset();
  if (!write_all(STDOUT_FILENO, bytes, stop_requested))
    return stop_requested() ? Outcome::Signalled : Outcome::TerminalGone;
  return std::nullopt;
}

std::optional<Outcome> Attachment::read_daemon() {
  ssize_t n = m_lines.fill(m_socket.get());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  if (n <= 0) return Outcome::DaemonGone;
  bool was_attached = m_stream.attached();
  m_screen.clear();
  while (auto line = m_lines.next_line()) {
    m_stream.handle_line(*line, m_screen);
    if (m_stream.ending() != Ending::Running) break;
  }
  if (!was_attached && m_stream.attached() && !m_stream.resumed() &&
      m_command.require == Require::Existing) {
    // The session ended after it was looked up, and this attach started a new one instead.
    queue(CloseRequest{m_command.key});
    drain_outgoing();
    m_failure = "no session named " + printable(m_command.key);
    return Outcome::Failed;
  }
  if (auto ended = show(m_screen)) return ended;
  if (!was_attached && m_stream.attached()) {
    if (m_came_back && (!m_stream.resumed() || m_stream.shell_pid() != m_shell_pid)) {
      // The session ended while the connection was lost, and the attach made a new one.
      if (!m_stream.resumed()) {
        queue(CloseRequest{m_command.key});
        drain_outgoing();
      }
      return Outcome::Exited;
    }
    m_shell_pid = m_stream.shell_pid();
    // Full-screen programs repaint on a size change (a change to the same size is none); a
    // shell would only see a wrong size for a moment.
    if (m_stream.resumed() && m_drew_alternate && m_command.redraw == Redraw::Nudge) {
      WindowSize nudged = m_size;
      nudged.rows = m_size.rows > 1 ? m_size.rows - 1 : m_size.rows + 1;
      queue_resize(nudged);
      m_redraw_at = Clock::now() + REDRAW_DELAY;
    }
  }
  if (m_stream.ending() == Ending::Exited) return Outcome::Exited;
  if (m_stream.ending() == Ending::Displaced) return Outcome::AttachedElsewhere;
  if (m_stream.ending() == Ending::Failed) {
    m_failure = m_stream.failure();
    return Outcome::Failed;
  }
  return std::nullopt;
}

std::optional<Outcome> Attachment::read_terminal() {
  char chunk[65536];
  ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  if (n <= 0) return Outcome::TerminalGone;
  auto keys = m_detach_key.feed(std::string_view(chunk, static_cast<std::size_t>(n)), Clock::now());
  if (!keys.to_send.empty()) queue(WriteRequest{m_command.key, base64_encode(keys.to_send)});
  if (keys.detach) return Outcome::Detached;
  return std::nullopt;
}

// Sends what is queued before leaving (what was typed before the detach key, say).
void Attachment::drain_outgoing() {
  auto deadline = Clock::now() + FLUSH_ON_EXIT;
  while (!m_outgoing.empty() && flush_outgoing() && Clock::now() < deadline) {
    pollfd out{m_socket.get(), POLLOUT, 0};
    ::poll(&out, 1, 50);
  }
}

// Until the next timed step (the end of a redraw nudge, a single detach-key press becoming a
// detach); -1 when none is due.
int Attachment::poll_timeout() const {
  std::optional<Clock::time_point> next = m_redraw_at;
  if (auto detach_at = m_detach_key.deadline(); detach_at && (!next || *detach_at < *next))
    next = detach_at;
  if (!next) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now());
  // Rounded up, so that the wake-up does not come just before the step is due.
  return static_cast<int>(std::max<std::int64_t>(left.count() + 1, 0));
}

Outcome Attachment::run(SignalPipe& signals, RawMode& raw) {
  queue_attach();
  while (true) {
    if (!flush_outgoing()) {
      if (auto ended = come_back()) return *ended;
      continue;
    }
    pollfd fds[3] = {
        {m_socket.get(), static_cast<short>(POLLIN | (m_outgoing.empty() ? 0 : POLLOUT)), 0},
        {signals.read_end(), POLLIN, 0},
        // The keyboard waits while the daemon has not taken what was typed before.
        {m_outgoing.size() < OUTGOING_LIMIT ? STDIN_FILENO : -1, POLLIN, 0},
    };
    int rc = ::poll(fds, 3, poll_timeout());
    if (rc < 0 && errno != EINTR) {
      m_failure = "cannot wait for input: " + OsError::from_errno().display();
      return Outcome::Failed;
    }
    if (m_redraw_at && Clock::now() >= *m_redraw_at) {
      m_redraw_at.reset();
      queue_resize(m_size);
    }
    // On a timeout (rc 0) no revents are set, but a waiting detach-key press may be due.
    if (rc < 0) continue;

    if (fds[1].revents != 0) {
      for (int signo : signals.take()) {
        if (signo == SIGWINCH) {
          if (auto size = window_size(STDIN_FILENO); size && *size != m_size) {
            m_size = *size;
            queue_resize(m_size);
          }
        } else if (signo == SIGCONT) {
          // Whoever stopped us may have changed the terminal's settings meanwhile.
          raw.reapply();
        }
      }
      if (stop_requested()) return Outcome::Signalled;
    }
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (auto ended = read_daemon()) {
        // A lost connection to a daemon that still answers (it cut us off while we were
        // stopped, say) is taken up again, the screen redrawn.
        if (*ended != Outcome::DaemonGone) return *ended;
        if (auto gone = come_back()) return *gone;
        continue;
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (auto ended = read_terminal()) {
        if (*ended == Outcome::Detached) drain_outgoing();
        return *ended;
      }
    }
    // Only after the keyboard has been read: a second press that waits there is no detach.
    if (m_detach_key.expired(Clock::now())) {
      drain_outgoing();
      return Outcome::Detached;
    }
  }
}

// A terminal that takes nothing (stopped with Ctrl-S, or gone) does not keep us from ending.
void print_line(const std::string& text, int fd) {
  std::string line = text + "\n";
  (void)write_within(fd, line, FINAL_WRITE_TIME);
}

}  // namespace

std::vector<EnvPair> terminal_environment(const char* const* envp) {
  std::vector<EnvPair> env;
  for (const char* const* entry = envp; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view name = text.substr(0, equals);
    // Requests are JSON text: an entry that is not UTF-8 cannot be sent and is left out.
    if (!is_valid_utf8(text)) continue;
    if (name == "TERM" || name == "COLORTERM" || name == "LANG" || name.substr(0, 3) == "LC_" ||
        name == "SSH_AUTH_SOCK" || name == "SSH_CONNECTION" || name == "DISPLAY" ||
        name == "WAYLAND_DISPLAY" || name == "XAUTHORITY")
      env.emplace_back(std::string(name), std::string(text.substr(equals + 1)));
  }
  return env;
}

AttachRequest new_session_request(const std::string& key, WindowSize size,
                                  const std::string& socket_path) {
  std::vector<EnvPair> env = terminal_environment(environ);
  env.insert(env.end(), {{SESSION_VARIABLE, key}, {SOCKET_VARIABLE, socket_path}});
  return AttachRequest{key, current_directory(), size.cols, size.rows, std::move(env)};
}

bool attaches_to_itself(const std::string& key, const std::string& socket_path,
                        const char* session_variable, const char* socket_variable) {
  return session_variable != nullptr && socket_variable != nullptr && key == session_variable &&
         socket_path == socket_variable;
}

std::optional<std::string> current_directory() {
  std::unique_ptr<char, decltype(&std::free)> physical(::getcwd(nullptr, 0), &std::free);
  if (!physical) return std::nullopt;
  const char* pwd = std::getenv("PWD");
  struct stat here {
  }, there{};
  if (pwd != nullptr && pwd[0] == '/' && ::stat(physical.get(), &here) == 0 &&
      ::stat(pwd, &there) == 0 && here.st_dev == there.st_dev && here.st_ino == there.st_ino &&
      is_valid_utf8(pwd))
    return std::string(pwd);
  // A directory name that is not UTF-8 cannot be sent; the daemon then picks the home directory.
  if (!is_valid_utf8(physical.get())) return std::nullopt;
  return std::string(physical.get());
}

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
  if (command.require == Require::Existing) {
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
  bool hung_up = g_stop_signal == SIGHUP || outcome == Outcome::TerminalGone;
  ModeTracker after = attachment.modes();
  std::string reset = after.reset_sequence();
  after.feed(reset);
  if (!after.at_line_start()) reset += "\r\n";
  (void)write_within(STDOUT_FILENO, reset, FINAL_WRITE_TIME);
  raw->restore(hung_up ? Drain::Skip : Drain::Wait);

  if (outcome == Outcome::Exited) {
    display.forget(attachment.shell_pid());
  } else if (!hung_up) {
    display.remember(attachment.shell_pid(), attachment.shown());
  }

  std::string key = printable(command.key);
  switch (outcome) {
    case Outcome::Detached:
      print_line("[detached from " + key + "]", STDOUT_FILENO);
      return 0;
    case Outcome::Exited:
      print_line("[" + key + " exited]", STDOUT_FILENO);
      return 0;
    case Outcome::AttachedElsewhere:
      print_line("[" + key + " attached elsewhere]", STDOUT_FILENO);
      return 0;
    case Outcome::DaemonGone:
      print_line("[daemon went away]", STDOUT_FILENO);
      return 1;
    case Outcome::Failed:
      print_line("velmora: " + attachment.failure(), STDERR_FILENO);
      return 1;
    case Outcome::TerminalGone:
      print_line("[detached from " + key + "]", STDOUT_FILENO);
      return 1;
    case Outcome::Signalled:
      print_line("[detached from " + key + "]", STDOUT_FILENO);
      return 128 + g_stop_signal;
  }
  return 1;
}

}  // namespace velmora::client
