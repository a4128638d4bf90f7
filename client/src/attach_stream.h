#pragma once

// What an attached client makes of the daemon's lines: terminal output and when to stop.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "output_buffer.h"
#include "seen_history.h"

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
  running,
  exited,     // the session's shell ended
  failed,     // the daemon refused the attach; failure() says why
  displaced,  // another connection resumed the session
};

// The daemon's notice to a connection whose session another connection resumed.
inline constexpr std::string_view DISPLACED_NOTICE = "別の接続に移りました: ";

class AttachStream {
 public:
  // Appends what brings a resumed session's screen back, given its replay, to out.
  using ReplayDrawer =
      std::function<void(std::string_view replay, std::uint32_t shell_pid, OutputBuffer& out)>;

  // Without a drawer the replay is shown as it is. shown carries on what an earlier stream of
  // the same attachment showed.
  explicit AttachStream(std::string key, ReplayDrawer draw = {}, ShownTail shown = {})
      : m_key(std::move(key)), m_draw(std::move(draw)), m_shown(std::move(shown)) {}

  // Handles one line from the daemon (newline removed), appending what the terminal must show
  // to out. Output that arrives before the `attached` reply is held back until the replay of
  // a resumed session has been shown, so that the screen is redrawn in order. Output lines of
  // this session, as the daemon writes them, are decoded straight into out.
  void handle_line(std::string_view line, OutputBuffer& out);

  bool attached() const { return m_attached; }
  bool resumed() const { return m_resumed; }
  std::uint32_t shell_pid() const { return m_shell_pid; }
  Ending ending() const { return m_ending; }
  const std::string& failure() const { return m_failure; }
  const std::string& key() const { return m_key; }
  // The session's output that went to the terminal, the replay counting as shown.
  const ShownTail& shown() const { return m_shown; }
  ShownTail take_shown() { return std::move(m_shown); }

 private:
  void show(std::string_view bytes, OutputBuffer& out);
  void show_base64(std::string_view data_base64, OutputBuffer& out);

  std::string m_key;
  ReplayDrawer m_draw;
  ShownTail m_shown;
  bool m_attached = false;
  bool m_resumed = false;
  std::uint32_t m_shell_pid = 0;
  Ending m_ending = Ending::running;
  std::string m_failure;
  std::string m_held;  // output that came before `attached`
};

}  // namespace velmora::client
