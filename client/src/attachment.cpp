#include "attachment.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "daemon_connection.h"
#include "display_text.h"
#include "io_util.h"
#include "new_session.h"
#include "platform.h"
#include "session_check.h"
#include "velmora/core/base64.h"
#include "velmora/core/os_error.h"

namespace velmora::client {
namespace {

using Clock = std::chrono::steady_clock;

// Past this much unsent input, stop reading the keyboard until the daemon catches up. Input
// comes from a person (or a paste), so this is only a bound for the pathological case; below
// it, the detach key keeps working even while the session does not take its input.
constexpr std::size_t OUTGOING_LIMIT = 64 * 1024 * 1024;
constexpr auto REDRAW_DELAY = std::chrono::milliseconds(100);
constexpr auto FLUSH_ON_EXIT = std::chrono::seconds(2);
// A read that shows this much is streaming output: the next read waits REST_DELAY, so that a
// stream of 4 KiB events costs one wake-up, one read and one terminal write for many of them,
// not for each. A keystroke's echo is smaller and is shown at once; the keyboard and signals are
// still watched during a rest, and the rest is short next to a screen refresh.
constexpr std::size_t STREAMING_BYTES = 2048;
constexpr auto REST_DELAY = std::chrono::milliseconds(4);
// A read of this much from the socket means that the daemon has run ahead of the terminal: the
// terminal's own pace batches the output then, and a rest would only leave it idle.
constexpr std::size_t BACKLOG_BYTES = 64 * 1024;

}  // namespace

AttachStream::ReplayDrawer Attachment::drawer() {
  return [this](std::string_view replay, std::uint32_t shell_pid, OutputBuffer& out) {
    // Coming back, the terminal still shows the session as it was: its modes go first.
    if (m_came_back) out += m_modes.reset_sequence();
    ResumeDrawing drawing =
        m_display.draw(replay, shell_pid, m_size, m_came_back ? &m_stream.shown() : nullptr);
    std::size_t at = out.size();
    out += drawing.bytes;
    m_drew_alternate = drawing.alternate;
    m_drawing_history = {at + drawing.history_begin, at + drawing.history_end};
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
  if (!m_stream.attached()) return Outcome::daemon_gone;
  switch (check_session(m_socket_path, m_daemon_pid, m_command.key, m_shell_pid)) {
    case SessionCheck::no_daemon:
      return Outcome::daemon_gone;
    case SessionCheck::ended:
      return Outcome::exited;
    case SessionCheck::alive:
      break;
  }
  Contact contact = contact_daemon(m_socket_path);
  if (contact.reach != Reach::connected) return Outcome::daemon_gone;
  ::fcntl(contact.fd.get(), F_SETFL, ::fcntl(contact.fd.get(), F_GETFL) | O_NONBLOCK);
  m_socket = std::move(contact.fd);
  m_lines.clear();
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
    // The drawing knows where its cursor is better than the bytes tell. Its history (most of
    // its bytes) ends with every mode at its default: the modes are followed around it.
    auto [history_begin, history_end] = m_drawing_history;
    m_modes.feed(bytes.substr(0, history_begin));
    m_modes.feed(bytes.substr(history_end, *m_drawing_end - history_end));
    m_modes.set_line_start(m_drawing_line_start);
    m_modes.feed(bytes.substr(*m_drawing_end));
  } else {
    m_modes.feed(bytes);
  }
  m_drawing_end.reset();
  if (!write_all(STDOUT_FILENO, bytes, stop_requested))
    return stop_requested() ? Outcome::signalled : Outcome::terminal_gone;
  return std::nullopt;
}

std::optional<Outcome> Attachment::read_daemon() {
  m_rest_until.reset();
  ssize_t n = m_lines.fill(m_socket.get());
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  if (n <= 0) return Outcome::daemon_gone;
  bool was_attached = m_stream.attached();
  m_screen.clear();
  // Everything that this read completes goes to the terminal in one write, and nothing waits
  // for more. A line over the bound (which the daemon never sends) is skipped like any other
  // line that cannot be read.
  for (auto next = m_lines.next(); next.kind != LineBuffer::Kind::none; next = m_lines.next()) {
    if (next.kind == LineBuffer::Kind::line) m_stream.handle_line(next.line, m_screen);
    if (m_stream.ending() != Ending::running) break;
  }
  if (!was_attached && m_stream.attached() && !m_stream.resumed() &&
      m_command.require == Require::existing) {
    // The session ended after it was looked up, and this attach started a new one instead.
    queue(CloseRequest{m_command.key});
    drain_outgoing();
    m_failure = "no session named " + printable(m_command.key);
    return Outcome::failed;
  }
  if (auto ended = show(m_screen.view())) return ended;
  if (m_screen.size() >= STREAMING_BYTES && static_cast<std::size_t>(n) < BACKLOG_BYTES)
    m_rest_until = Clock::now() + REST_DELAY;
  if (!was_attached && m_stream.attached()) {
    if (m_came_back && (!m_stream.resumed() || m_stream.shell_pid() != m_shell_pid)) {
      // The session ended while the connection was lost, and the attach made a new one.
      if (!m_stream.resumed()) {
        queue(CloseRequest{m_command.key});
        drain_outgoing();
      }
      return Outcome::exited;
    }
    m_shell_pid = m_stream.shell_pid();
    // Full-screen programs repaint on a size change (a change to the same size is none); a
    // shell would only see a wrong size for a moment.
    if (m_stream.resumed() && m_drew_alternate && m_command.redraw == Redraw::nudge) {
      WindowSize nudged = m_size;
      nudged.rows = m_size.rows > 1 ? m_size.rows - 1 : m_size.rows + 1;
      queue_resize(nudged);
      m_redraw_at = Clock::now() + REDRAW_DELAY;
    }
  }
  if (m_stream.ending() == Ending::exited) return Outcome::exited;
  if (m_stream.ending() == Ending::displaced) return Outcome::attached_elsewhere;
  if (m_stream.ending() == Ending::failed) {
    m_failure = m_stream.failure();
    return Outcome::failed;
  }
  return std::nullopt;
}

std::optional<Outcome> Attachment::read_terminal() {
  char chunk[65536];
  ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  if (n <= 0) return Outcome::terminal_gone;
  auto keys = m_detach_key.feed(std::string_view(chunk, static_cast<std::size_t>(n)), Clock::now());
  if (!keys.to_send.empty()) queue(WriteRequest{m_command.key, base64_encode(keys.to_send)});
  if (keys.detach) return Outcome::detached;
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

// Until the next timed step (the end of a rest or of a redraw nudge, a single detach-key press
// becoming a detach); -1 when none is due.
int Attachment::poll_timeout() const {
  std::optional<Clock::time_point> next = m_redraw_at;
  if (m_rest_until && (!next || *m_rest_until < *next)) next = m_rest_until;
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
    bool resting = m_rest_until.has_value();
    short stream_events =
        static_cast<short>((resting ? 0 : POLLIN) | (m_outgoing.empty() ? 0 : POLLOUT));
    pollfd fds[3] = {
        {stream_events != 0 ? m_socket.get() : -1, stream_events, 0},
        {signals.read_end(), POLLIN, 0},
        // The keyboard waits while the daemon has not taken what was typed before.
        {m_outgoing.size() < OUTGOING_LIMIT ? STDIN_FILENO : -1, POLLIN, 0},
    };
    int rc = ::poll(fds, 3, poll_timeout());
    if (rc < 0 && errno != EINTR) {
      m_failure = "cannot wait for input: " + OsError::from_errno().display();
      return Outcome::failed;
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
      if (stop_requested()) return Outcome::signalled;
    }
    // A rest that is over reads at once: what gathered meanwhile is waiting.
    bool rested = resting && Clock::now() >= *m_rest_until;
    if (rested || (!resting && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))) {
      if (auto ended = read_daemon()) {
        // A lost connection to a daemon that still answers (it cut us off while we were
        // stopped, say) is taken up again, the screen redrawn.
        if (*ended != Outcome::daemon_gone) return *ended;
        if (auto gone = come_back()) return *gone;
        continue;
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (auto ended = read_terminal()) {
        if (*ended == Outcome::detached) drain_outgoing();
        return *ended;
      }
    }
    // Only after the keyboard has been read: a second press that waits there is no detach.
    if (m_detach_key.deadline() && m_detach_key.expired(Clock::now())) {
      drain_outgoing();
      return Outcome::detached;
    }
  }
}

}  // namespace velmora::client
