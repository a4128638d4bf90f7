#include "mode_tracker.h"

#include <cstring>

namespace velmora::client {

void ModeTracker::feed(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (m_state == State::ground) {
      // Most output is text: jump to the next escape.
      const void* escape = std::memchr(bytes.data() + i, 0x1b, bytes.size() - i);
      std::size_t stop =
          escape == nullptr
              ? bytes.size()
              : static_cast<std::size_t>(static_cast<const char*>(escape) - bytes.data());
      std::string_view text = bytes.substr(i, stop - i);
      note_text(text);
      if (std::memchr(text.data(), 0x0e, text.size()) != nullptr ||
          std::memchr(text.data(), 0x0f, text.size()) != nullptr) {
        for (char t : text) {
          if (t == 0x0e) m_shifted_out = true;
          if (t == 0x0f) m_shifted_out = false;
        }
      }
      if (escape == nullptr) return;
      i = stop + 1;
      m_state = State::escape;
      continue;
    }
    char c = bytes[i++];
    if (m_state == State::charset) {
      m_charset = c != 'B';
      m_state = State::ground;
      continue;
    }
    if (m_state == State::escape) {
      if (c == '[') {
        m_state = State::csi;
        m_private = false;
        m_foreign = false;
        m_has_params = false;
        m_param = 0;
        m_params.clear();
        continue;
      }
      if (c == '=') m_application_keypad = true;
      if (c == '>') m_application_keypad = false;
      if (c == 'c') *this = ModeTracker();  // a full reset
      if (c == '8' || c == 'M' || c == 'D') m_line_start = false;
      if (c == 'E') m_line_start = true;
      if (c == '(') {
        m_state = State::charset;
        continue;
      }
      m_state = c == 0x1b ? State::escape : State::ground;
      continue;
    }
    // Inside a control sequence.
    if (c >= '0' && c <= '9') {
      if (m_param < 100000) m_param = m_param * 10 + static_cast<unsigned>(c - '0');
      m_has_params = true;
    } else if (c == ';' || c == ':') {
      if (m_params.size() < 32) m_params.push_back(m_param);
      m_param = 0;
      m_has_params = true;
    } else if (c == '?' && !m_has_params) {
      m_private = true;
    } else if ((c == '<' || c == '=' || c == '>') && !m_has_params) {
      m_foreign = true;
    } else if (c >= 0x40 && c <= 0x7e) {
      finish_csi(c);
      m_state = State::ground;
    } else if (c == 0x1b) {
      m_state = State::escape;
    } else if (static_cast<unsigned char>(c) <= 0x2f) {
      // Intermediate bytes and embedded controls: keep reading.
    } else {
      m_state = State::ground;
    }
  }
}

void ModeTracker::finish_csi(char final) {
  if (m_foreign) return;
  m_params.push_back(m_param);
  if (m_private) {
    if (final == 'h' || final == 'l')
      for (unsigned mode : m_params) set_private_mode(mode, final == 'h');
    return;
  }
  bool all_zero = true;
  for (unsigned param : m_params) all_zero = all_zero && param == 0;
  // CSI r without parameters (or with zeros) resets the scroll region; CSI m resets attributes.
  if (final == 'r') m_scroll_region = !all_zero;
  if (final == 'm') m_attributes = !all_zero;
  if (final == 'h' || final == 'l') {
    for (unsigned mode : m_params) {
      if (mode == 4) m_insert = final == 'h';
      if (mode == 20) m_newline = final == 'h';
    }
  }
  // Cursor movement: where it ends up is no longer known.
  if (std::strchr("ABCDEFGHIZadefjkrsu`", final) != nullptr) m_line_start = false;
}

void ModeTracker::note_text(std::string_view text) {
  // The last byte that moves the cursor decides: a line feed starts a line, anything printed
  // or any other movement leaves it.
  for (std::size_t i = text.size(); i > 0; --i) {
    unsigned char c = static_cast<unsigned char>(text[i - 1]);
    if (c == '\n') {
      m_line_start = true;
      return;
    }
    if (c == '\r' || c == 0x07 || c == 0 || c == 0x0e || c == 0x0f) continue;
    m_line_start = false;
    return;
  }
}

void ModeTracker::set_private_mode(unsigned mode, bool on) {
  switch (mode) {
    case 1:
      m_application_cursor = on;
      break;
    case 6:
      m_origin = on;
      m_line_start = false;
      break;
    case 7:
      m_autowrap_off = !on;
      break;
    case 25:
      m_cursor_hidden = !on;
      break;
    case 47:
    case 1047:
    case 1049:
      if (on && m_alternate_screen == 0) m_line_start_saved = m_line_start;
      if (!on && m_alternate_screen != 0)
        m_line_start = m_alternate_screen == 1049 && m_line_start_saved;
      m_alternate_screen = on ? mode : 0;
      break;
    case 1000:
    case 1002:
    case 1003:
    case 1005:
    case 1006:
    case 1015: {
      unsigned bit = 1u << (mode % 16);
      m_mouse = on ? (m_mouse | bit) : (m_mouse & ~bit);
      break;
    }
    case 1004:
      m_focus_events = on;
      break;
    case 2004:
      m_bracketed_paste = on;
      break;
    default:
      break;
  }
}

std::string ModeTracker::reset_sequence() const {
  std::string out;
  if (m_attributes) out += "\x1b[0m";
  if (m_origin) out += "\x1b[?6l";
  // Resetting the region moves the cursor home: it is put back.
  if (m_scroll_region)
    out +=
        "\x1b"
        "7\x1b[r\x1b"
        "8";
  if (m_insert) out += "\x1b[4l";
  if (m_newline) out += "\x1b[20l";
  if (m_charset) out += "\x1b(B";
  if (m_shifted_out) out += "\x0f";
  if (m_mouse != 0) out += "\x1b[?1006l\x1b[?1015l\x1b[?1005l\x1b[?1003l\x1b[?1002l\x1b[?1000l";
  if (m_focus_events) out += "\x1b[?1004l";
  if (m_bracketed_paste) out += "\x1b[?2004l";
  if (m_application_cursor) out += "\x1b[?1l";
  if (m_application_keypad) out += "\x1b>";
  if (m_autowrap_off) out += "\x1b[?7h";
  if (m_alternate_screen != 0) out += "\x1b[?" + std::to_string(m_alternate_screen) + "l";
  if (m_cursor_hidden) out += "\x1b[?25h";
  return out;
}

std::string ModeTracker::restore_sequence() const {
  std::string out;
  // Tracking modes before encodings, as programs send them.
  static constexpr unsigned MOUSE_MODES[] = {1000, 1002, 1003, 1005, 1006, 1015};
  for (unsigned mode : MOUSE_MODES)
    if (m_mouse & (1u << (mode % 16))) out += "\x1b[?" + std::to_string(mode) + "h";
  if (m_focus_events) out += "\x1b[?1004h";
  if (m_bracketed_paste) out += "\x1b[?2004h";
  if (m_application_cursor) out += "\x1b[?1h";
  if (m_application_keypad) out += "\x1b=";
  if (m_cursor_hidden) out += "\x1b[?25l";
  return out;
}

}  // namespace velmora::client
