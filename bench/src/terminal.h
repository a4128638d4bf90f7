#pragma once

// The two ways the benchmark talks to a shell: straight through a pseudo-terminal it holds, or as
// a velmorad client attached to a session. Measures are written once against this interface.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "line_connection.h"
#include "marker_scanner.h"
#include "output_line.h"
#include "raw_shell.h"
#include "velmora/core/protocol.h"
#include "velmora/core/result.h"

namespace velmora::bench {

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Keystrokes for the shell.
  virtual Result<void> input(std::string_view bytes) = 0;
  // Appends at least one chunk of the shell's output to out, waiting until the deadline.
  virtual Result<void> read_some(std::string& out, Clock::time_point deadline) = 0;
};

class RawTerminal final : public Terminal {
 public:
  explicit RawTerminal(RawShell shell) : m_shell(std::move(shell)) {}
  Result<void> input(std::string_view bytes) override;
  // One read of at most 8192 bytes, like the daemon's pump.
  Result<void> read_some(std::string& out, Clock::time_point deadline) override;
  const RawShell& shell() const { return m_shell; }
  RawShell& shell() { return m_shell; }

 private:
  RawShell m_shell;
};

// A client connection attached to one session. Lines about other sessions are skipped.
class SessionTerminal final : public Terminal {
 public:
  // Connects and attaches (creating or resuming) the session.
  static Result<SessionTerminal> attach(const std::string& socket, std::string key,
                                        std::uint16_t rows = 24, std::uint16_t cols = 80);

  Result<void> input(std::string_view bytes) override;
  // Decodes output events of this session until at least one was decoded; fails on `exited`.
  Result<void> read_some(std::string& out, Clock::time_point deadline) override;

  const AttachedEvent& attached() const { return m_attached; }
  LineConnection& connection() { return m_connection; }

 private:
  SessionTerminal(LineConnection connection, std::string key)
      : m_connection(std::move(connection)), m_key(std::move(key)), m_decoder(m_key) {}

  LineConnection m_connection;
  std::string m_key;
  OutputDecoder m_decoder;
  AttachedEvent m_attached;
};

// Sends an attach request on connection and waits for this key's `attached` event, skipping
// every other line.
Result<AttachedEvent> attach_on(LineConnection& connection, const std::string& key,
                                std::uint16_t rows, std::uint16_t cols, Clock::time_point deadline);

// Sends one request line and reads lines until one starts with prefix (that line is stored in
// line_out if given); microseconds from the send to the whole reply line.
Result<double> timed_request(LineConnection& connection, std::string_view request,
                             std::string_view prefix, std::string* line_out = nullptr);

// Reads output until the marker has been seen.
Result<void> read_until(Terminal& terminal, MarkerScanner& scanner, Clock::time_point deadline);

// Reads and drops output until none has come for the quiet period.
void drain(Terminal& terminal, std::chrono::milliseconds quiet);

// A command line (carriage return included) that cats a file and then prints an end marker,
// with that marker. The typed command holds "$((40+2))" where the output holds "42", so the
// terminal's echo of the command never matches; and every command has a marker of its own, so
// that a front end which redraws its screen cannot show an earlier command's marker as this
// one's.
struct CatCommand {
  std::string line;
  std::string marker;
};
CatCommand cat_command(const std::string& file);

// Types command and a carriage return, then waits until its output holds the marker.
Result<void> run_command(Terminal& terminal, std::string_view command, std::string marker,
                         Clock::time_point deadline);

}  // namespace velmora::bench
