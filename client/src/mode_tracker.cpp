#include "mode_tracker.h"

#include <cstring>

namespace velmora::client {

void ModeTracker::feed(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (m_state == State::Ground) {
      // Most output is text: jump to the next escape.
      const void* escape = std::memchr(bytes.data() + i, 0x1b, bytes.size() - i);
      if (escape == nullptr) return;
      i = static_cast<std::size_t>(static_cast<const char*>(escape) - bytes.data()) + 1;
      m_state = State::Escape;
      continue;
    }
    char c = bytes[i++];
    if (m_state == State::Escape) {
      if (c == '[') {
        m_state = State::Csi;
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
      m_state = c == 0x1b ? State::Escape : State::Ground;
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
      m_state = State::Ground;
    } else if (c == 0x1b) {
      m_state = State::Escape;
    } else if (static_cast<unsigned char>(c) <= 0x2f) {
      // Intermediate bytes and embedded controls: keep reading.
    } else {
      m_state = State::Ground;
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
}

void ModeTracker::set_private_mode(unsigned mode, bool on) {
  switch (mode) {
    case 1:
      m_application_cursor = on;
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
  if (m_scroll_region) out += "\x1b[r";
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

}  // namespace velmora::client
