#include "emulator_guard.h"

#include <algorithm>
#include <utility>

#include "utf8.h"

namespace velmora::client {
namespace {

constexpr unsigned char ESC = 0x1b;
constexpr unsigned char BEL = 0x07;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char SUB = 0x1a;
constexpr unsigned char DEL = 0x7f;
constexpr std::size_t MAX_CHARACTER_BYTES = 32;

bool combining(std::uint32_t c) {
  return (c >= 0x300 && c <= 0x36f) || (c >= 0x1ab0 && c <= 0x1aff) ||
         (c >= 0x1dc0 && c <= 0x1dff) || (c >= 0x20d0 && c <= 0x20ff) ||
         (c >= 0xfe20 && c <= 0xfe2f) || c == 0x200d || (c >= 0xfe00 && c <= 0xfe0f);
}

}  // namespace

EmulatorGuard::Action EmulatorGuard::text(unsigned char byte, std::size_t pending_left) {
  bool continuation = (byte & 0xc0u) == 0x80u;
  if (pending_left > 0 && continuation) {
    m_pending.push_back(static_cast<char>(byte));
    m_pending_left = pending_left - 1;
    if (m_pending_left > 0) return Action::pass;
    std::size_t at = 0;
    if (combining(next_code_point(m_pending, at)) && !m_last.empty() &&
        m_last.size() + m_pending.size() <= MAX_CHARACTER_BYTES) {
      m_last += m_pending;
    } else {
      m_last = m_pending;
    }
    return Action::pass;
  }
  if (continuation && byte <= 0x9f) return Action::drop;
  if (byte < 0x80) {
    m_last.assign(1, static_cast<char>(byte));
  } else if (byte >= 0xc2 && byte <= 0xf4) {
    m_pending.assign(1, static_cast<char>(byte));
    m_pending_left = byte < 0xe0 ? 1 : byte < 0xf0 ? 2 : 3;
  }
  // Anything else is a broken character: the emulator shows a replacement, not worth repeating.
  return Action::pass;
}

EmulatorGuard::Action EmulatorGuard::step(unsigned char byte) {
  // Only the very next byte can continue a character: anything else between ends it.
  std::size_t pending_left = std::exchange(m_pending_left, 0);
  // Wherever it comes, an escape begins a sequence and CAN or SUB ends one, as in libvterm.
  if (byte == ESC) {
    m_state = State::escape;
    return Action::pass;
  }
  if (byte == CAN || byte == SUB) {
    m_state = State::ground;
    return Action::pass;
  }
  switch (m_state) {
    case State::ground:
      if (byte < 0x20 || byte == DEL) return Action::pass;
      return text(byte, pending_left);
    case State::escape:
      if (byte < 0x20) return Action::pass;   // acted on inside the sequence
      if (byte <= 0x2f) return Action::pass;  // intermediates
      if (byte >= 0x80) {
        m_state = State::ground;
        return text(byte, 0);
      }
      // As libvterm reads them: intermediates do not keep these from beginning a sequence or a
      // string, and only OSC and DCS are strings.
      if (byte == '[') {
        m_state = State::csi;
        m_repeat = true;
        m_first_param = true;
        m_count = 0;
      } else if (byte == ']' || byte == 'P') {
        m_state = State::string;
      } else {
        m_state = State::ground;
      }
      return Action::pass;
    case State::string:
      if (byte == BEL) m_state = State::ground;
      return Action::pass;
    case State::csi:
      if (byte < 0x20 || byte == DEL)
        return Action::pass;  // acted on inside the sequence, or ignored
      if (byte >= 0x80) {
        // libvterm gives the sequence up at a byte it cannot hold.
        m_state = State::ground;
        return text(byte, 0);
      }
      if (byte >= '0' && byte <= '9') {
        if (m_first_param) m_count = std::min<std::size_t>(m_count * 10 + (byte - '0'), m_cols);
        return Action::pass;
      }
      if (byte == ';' || byte == ':') {
        m_first_param = false;
        return Action::pass;
      }
      if (byte >= 0x3c && byte <= 0x3f) {
        m_repeat = false;  // a private sequence
        return Action::pass;
      }
      if (byte < 0x40) {
        m_repeat = false;  // an intermediate
        return Action::pass;
      }
      m_state = State::ground;
      if (byte != 'b' || !m_repeat) return Action::pass;
      m_copies.clear();
      for (std::size_t n = std::max<std::size_t>(m_count, 1); n > 0 && !m_last.empty(); --n)
        m_copies += m_last;
      return Action::repeat;
  }
  return Action::pass;
}

}  // namespace velmora::client
