#include "terminal.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"
#include "velmora/core/os_error.h"

namespace velmora::bench {

namespace {

constexpr std::size_t PTY_READ_SIZE = 8192;

}  // namespace

Result<void> RawTerminal::input(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(m_shell.master(), bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && errno != EINTR && errno != EAGAIN) {
      return OsError::from_errno().to_error();
    }
  }
  return {};
}

Result<void> RawTerminal::read_some(std::string& out, Clock::time_point deadline) {
  std::size_t start = out.size();
  out.resize(start + PTY_READ_SIZE);
  while (true) {
    ssize_t got = ::read(m_shell.master(), out.data() + start, PTY_READ_SIZE);
    if (got > 0) {
      out.resize(start + static_cast<std::size_t>(got));
      return {};
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN && wait_readable(m_shell.master(), deadline)) continue;
    out.resize(start);
    if (got == 0 || errno == EIO) return Error("the shell's terminal closed");
    if (errno == EAGAIN) return Error("timed out");
    return OsError::from_errno().to_error();
  }
}

Result<AttachedEvent> attach_on(LineConnection& connection, const std::string& key,
                                std::uint16_t rows, std::uint16_t cols,
                                Clock::time_point deadline) {
  AttachRequest request;
  request.key = key;
  request.rows = rows;
  request.cols = cols;
  if (auto sent = connection.send_all(encode_request(request)); !sent) return sent.error();
  // The first output of a new session may come before its `attached` event.
  constexpr std::string_view ATTACHED = "{\"type\":\"attached\"";
  constexpr std::string_view ERROR = "{\"type\":\"error\"";
  while (true) {
    auto line = connection.read_line(deadline);
    if (!line) return line.error();
    if (!line->starts_with(ATTACHED) && !line->starts_with(ERROR)) continue;
    auto event = decode_event(*line);
    if (!event) return Error("unreadable event: " + event.error().text());
    if (auto* error = std::get_if<ErrorEvent>(&*event)) return Error(error->message);
    if (auto* attached = std::get_if<AttachedEvent>(&*event); attached && attached->key == key)
      return std::move(*attached);
  }
}

Result<SessionTerminal> SessionTerminal::attach(const std::string& socket, std::string key,
                                                std::uint16_t rows, std::uint16_t cols) {
  auto connection = LineConnection::connect(socket);
  if (!connection) return connection.error();
  SessionTerminal terminal(std::move(*connection), std::move(key));
  auto attached = attach_on(terminal.m_connection, terminal.m_key, rows, cols,
                            Clock::now() + std::chrono::seconds(10));
  if (!attached) return attached.error();
  terminal.m_attached = std::move(*attached);
  return terminal;
}

Result<void> SessionTerminal::input(std::string_view bytes) {
  WriteRequest request{m_key, base64_encode(bytes)};
  return m_connection.send_all(encode_request(request));
}

Result<void> SessionTerminal::read_some(std::string& out, Clock::time_point deadline) {
  while (true) {
    auto line = m_connection.read_line(deadline);
    if (!line) return line.error();
    switch (m_decoder.decode(*line, out)) {
      case OutputLine::decoded:
        return {};
      case OutputLine::malformed:
        return Error("output event with malformed base64");
      case OutputLine::other_event:
        break;
    }
    auto event = decode_event(*line);
    if (!event) return Error("unreadable event: " + event.error().text());
    if (auto* exited = std::get_if<ExitedEvent>(&*event); exited && exited->key == m_key)
      return Error("session " + m_key + " exited");
  }
}

Result<double> timed_request(LineConnection& connection, std::string_view request,
                             std::string_view prefix, std::string* line_out) {
  auto start = Clock::now();
  if (auto sent = connection.send_all(request); !sent) return sent.error();
  while (true) {
    auto line = connection.read_line(start + std::chrono::seconds(10));
    if (!line) return line.error();
    if (!line->starts_with(prefix)) continue;
    auto elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (line_out != nullptr) line_out->assign(*line);
    return elapsed;
  }
}

Result<void> read_until(Terminal& terminal, MarkerScanner& scanner, Clock::time_point deadline) {
  std::string chunk;
  chunk.reserve(64 * 1024);
  while (!scanner.found()) {
    chunk.clear();
    if (auto got = terminal.read_some(chunk, deadline); !got) return got.error();
    scanner.feed(chunk);
  }
  return {};
}

void drain(Terminal& terminal, std::chrono::milliseconds quiet) {
  std::string chunk;
  while (true) {
    chunk.clear();
    if (!terminal.read_some(chunk, Clock::now() + quiet)) return;
  }
}

CatCommand cat_command(const std::string& file) {
  static std::atomic<unsigned> count{0};
  std::string serial = std::to_string(++count);
  return CatCommand{"cat " + file + "; echo VB$((40+2))D" + serial + "NE\r",
                    "VB42D" + serial + "NE"};
}

Result<void> run_command(Terminal& terminal, std::string_view command, std::string marker,
                         Clock::time_point deadline) {
  std::string line(command);
  line.push_back('\r');
  if (auto sent = terminal.input(line); !sent) return sent.error();
  MarkerScanner scanner(std::move(marker));
  return read_until(terminal, scanner, deadline);
}

}  // namespace velmora::bench
