#include "visible_text.h"

namespace velmora::bench {

void VisibleText::feed(std::string_view chunk, std::string& out) {
  constexpr char ESC = '\x1b';
  constexpr char BEL = '\x07';
  for (char c : chunk) {
    auto byte = static_cast<unsigned char>(c);
    switch (m_state) {
      case State::text:
        if (c == ESC) {
          m_state = State::escape;
        } else if (byte >= 0x20 && byte != 0x7f) {
          out.push_back(c);
        }
        break;
      case State::escape:
        if (c == '[') {
          m_state = State::csi;
        } else if (c == ']') {
          m_state = State::osc;
        } else if (byte < 0x20 || byte > 0x2f) {
          // A final byte ends a short sequence; intermediates (0x20-0x2f) come before one.
          m_state = State::text;
        }
        break;
      case State::csi:
        if (byte >= 0x40 && byte <= 0x7e) m_state = State::text;
        break;
      case State::osc:
        if (c == BEL) m_state = State::text;
        if (c == ESC) m_state = State::osc_escape;
        break;
      case State::osc_escape:
        m_state = c == '\\' ? State::text : State::osc;
        break;
    }
  }
}

}  // namespace velmora::bench
