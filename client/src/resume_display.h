#pragma once

// What the terminal shows when a session is resumed: its screen drawn from the replay, with the
// lines that this terminal has not shown yet pushed into its scrollback, and what this terminal
// has shown remembered for the next time.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "redraw.h"
#include "seen_history.h"
#include "terminal.h"

namespace velmora::client {

struct ResumeDrawing {
  std::string bytes;
  bool alternate = false;      // a full-screen program is on: worth a nudge to repaint
  bool at_line_start = false;  // the cursor ends at the start of an empty line
  // bytes[history_begin, history_end): the history, which leaves the terminal's modes at their
  // defaults.
  std::size_t history_begin = 0;
  std::size_t history_end = 0;
};

class ResumeDisplay {
 public:
  // terminal is the identity of the terminal we draw on (nothing: unknown, so nothing of
  // what it shows is remembered).
  ResumeDisplay(std::string socket_path, std::string key, History history,
                std::optional<std::string> terminal)
      : m_socket_path(std::move(socket_path)),
        m_key(std::move(key)),
        m_history(history),
        m_terminal(std::move(terminal)),
        m_store(SeenStore::at_default_path()) {}

  // The bytes that bring the screen back. shown_before is what this very attachment showed
  // already (when it resumes after losing its connection); otherwise the terminal's record
  // tells.
  ResumeDrawing draw(std::string_view replay, std::uint32_t shell_pid, WindowSize size,
                     const ShownTail* shown_before) const;

  // At the end of an attachment that the terminal outlives.
  void remember(std::uint32_t shell_pid, const ShownTail& shown) const;
  // When the session has ended.
  void forget(std::uint32_t shell_pid) const;

 private:
  std::string m_socket_path;
  std::string m_key;
  History m_history;
  std::optional<std::string> m_terminal;
  std::optional<SeenStore> m_store;
};

}  // namespace velmora::client
