#pragma once

// What an attached client makes of the daemon's lines: terminal output and when to stop.

#include <optional>
#include <string>
#include <string_view>

namespace velmora::client {

// The parts of an output event line as the daemon writes it, found without a full JSON parse.
struct OutputLine {
  std::string_view key;  // raw; only lines whose key needs no unescaping qualify
  std::string_view data_base64;
};

// Recognises {"type":"output","key":"...","dataBase64":"..."} exactly as the daemon writes it;
// nothing for any other line (which then goes through the general event decoder).
std::optional<OutputLine> parse_output_line(std::string_view line);

enum class Ending {
  Running,
  Exited,  // the session's shell ended
  Failed,  // the daemon refused the attach; failure() says why
};

class AttachStream {
 public:
  explicit AttachStream(std::string key) : m_key(std::move(key)) {}

  // Handles one line from the daemon (newline removed), appending what the terminal must show
  // to out. Output that arrives before the `attached` reply is held back until the replay of
  // a resumed session has been shown, so that the screen is redrawn in order.
  void handle_line(std::string_view line, std::string& out);

  bool attached() const { return m_attached; }
  bool resumed() const { return m_resumed; }
  Ending ending() const { return m_ending; }
  const std::string& failure() const { return m_failure; }
  const std::string& key() const { return m_key; }

 private:
  void show(std::string_view bytes, std::string& out);

  std::string m_key;
  bool m_attached = false;
  bool m_resumed = false;
  Ending m_ending = Ending::Running;
  std::string m_failure;
  std::string m_held;  // output that came before `attached`
};

}  // namespace velmora::client
