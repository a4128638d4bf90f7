#pragma once

// Follows the terminal modes that a session's programs switch on, so that detaching can switch
// them off again: a pager's alternate screen or an editor's mouse reporting must not outlive
// the attachment in the user's own terminal.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::client {

class ModeTracker {
 public:
  // Feeds output bytes as they go to the terminal; sequences may be split across calls.
  void feed(std::string_view bytes);

  // The bytes that switch every mode seen on back to the terminal's default; empty when
  // nothing needs undoing. The cursor stays where it is (unless origin mode was on).
  std::string reset_sequence() const;

  // The bytes that switch the input modes that are on now (keys, keypad, mouse, focus,
  // bracketed paste) and the cursor's visibility on in a terminal that has the defaults.
  std::string restore_sequence() const;

  // Whether the cursor is at the start of an empty line, as far as the output tells (false
  // when it cannot tell). set_line_start() corrects it from a better source.
  bool at_line_start() const { return m_line_start; }
  void set_line_start(bool at_start) { m_line_start = at_start; }

  // What a private mode sequence (CSI ? mode h or l) and a keypad mode sequence (ESC = or ESC >)
  // do, for a reader that parses the output itself.
  void set_private_mode(unsigned mode, bool on);
  void set_application_keypad(bool on) { m_application_keypad = on; }

 private:
  enum class State : std::uint8_t { ground, escape, charset, csi };
  void note_text(std::string_view text);
  void finish_csi(char final);

  State m_state = State::ground;
  bool m_private = false;  // the CSI sequence started with '?'
  bool m_foreign = false;  // it started with '<', '=' or '>': none of our concern
  bool m_has_params = false;
  unsigned m_param = 0;            // the parameter being read
  std::vector<unsigned> m_params;  // the parameters finished so far

  // Modes that differ from the terminal's default.
  unsigned m_alternate_screen = 0;  // 47, 1047 or 1049 when on
  bool m_cursor_hidden = false;
  bool m_application_cursor = false;
  bool m_application_keypad = false;
  unsigned m_mouse = 0;  // one bit per mouse mode that is on
  bool m_focus_events = false;
  bool m_bracketed_paste = false;
  bool m_autowrap_off = false;
  bool m_scroll_region = false;
  bool m_attributes = false;
  bool m_origin = false;
  bool m_insert = false;
  bool m_newline = false;
  bool m_shifted_out = false;
  bool m_charset = false;  // a character set other than ASCII was designated

  bool m_line_start = true;
  bool m_line_start_saved = true;  // when the 1049 alternate screen was entered
};

}  // namespace velmora::client
