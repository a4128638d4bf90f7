#include "visible_text.h"

namespace velmora::bench {

void VisibleText::feed(std::string_view chunk, std::string& out) {
  constexpr char ESC = '\x1b';
  constexpr char BEL = '\x07';
  for (char c : chunk) {
    auto byte = static_cast<unsigned char>(c);
    switch (m_state) {
      case State::Text:
        if (c == ESC) {
          m_state = State::Escape;
        } else if (byte >= 0x20 && byte != 0x7f) {
          out.push_back(c);
        }
        break;
      case State::Escape:
        if (c == '[') {
          m_state = State::Csi;
        } else if (c == ']') {
          m_state = State::Osc;
        } else if (byte < 0x20 || byte > 0x2f) {
          // A final byte ends a short sequence; intermediates (0x20-0x2f) come before one.
          m_state = State::Text;
        }
        break;
      case State::Csi:
        if (byte >= 0x40 && byte <= 0x7e) m_state = State::Text;
        break;
      case State::Osc:
        if (c == BEL) m_state = State::Text;
        if (c == ESC) m_state = State::OscEscape;
        break;
      case State::OscEscape:
        m_state = c == '\\' ? State::Text : State::Osc;
        break;
    }
  }
}

}  // namespace velmora::bench
