#include "terminal_tokens.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::client {
namespace {

constexpr unsigned char ESC = 0x1b;
constexpr unsigned char CAN = 0x18;
constexpr unsigned char SUB = 0x1a;
constexpr unsigned char DEL = 0x7f;
constexpr unsigned char MALFORMED = 0xff;

bool is_control(unsigned char c) { return c < 0x20 || c == DEL; }

// A token begun afresh. Its parameters are left as they are: only param_count of them count, and
// clearing them all for every piece of text and every control was most of reading a token.
void start(Token& token, TokenKind kind, std::size_t begin) {
  token.kind = kind;
  token.begin = begin;
  token.end = begin;
  token.byte = 0;
  token.prefix = 0;
  token.intermediate = 0;
  token.final = 0;
  token.param_count = 0;
  token.embedded_controls = false;
}

// The first byte at or after from that is a control (ESC included): sixteen bytes at a time
// where SSE2 is there (every x86-64), else eight.
std::size_t next_control(const unsigned char* data, std::size_t from, std::size_t size) {
  constexpr std::uint64_t ONES = 0x0101010101010101ull;
  constexpr std::uint64_t HIGH = 0x8080808080808080ull;
  std::size_t at = from;
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i del_byte = _mm_set1_epi8(static_cast<char>(DEL));
  const __m128i high = _mm_set1_epi8(static_cast<char>(0x80));
  while (at + 16 <= size) {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
    // 0x00-0x1f alone are unsigned below 0x20: shifted by 0x80 they are the signed lowest.
    __m128i below = _mm_cmplt_epi8(_mm_xor_si128(block, high), _mm_xor_si128(space, high));
    __m128i found = _mm_or_si128(below, _mm_cmpeq_epi8(block, del_byte));
    int mask = _mm_movemask_epi8(found);
    if (mask != 0) return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    at += 16;
  }
#endif
  while (at + 8 <= size) {
    std::uint64_t word;
    std::memcpy(&word, data + at, 8);
    std::uint64_t below_space = (word - ONES * 0x20) & ~word & HIGH;
    std::uint64_t del = word ^ (ONES * DEL);
    std::uint64_t is_del = (del - ONES) & ~del & HIGH;
    if ((below_space | is_del) != 0) break;
    at += 8;
  }
  while (at < size && !is_control(data[at])) ++at;
  return at;
}

}  // namespace

bool TokenReader::next(Token& token) {
  const auto* data = reinterpret_cast<const unsigned char*>(m_bytes.data());
  std::size_t size = m_bytes.size();
  if (m_pending != Pending::none) return finish_sequence(token);
  if (m_at >= size) return false;
  unsigned char c = data[m_at];
  if (c == ESC) {
    start(m_partial, TokenKind::escape, m_at++);
    m_pending = Pending::escape;
    return finish_sequence(token);
  }
  if (is_control(c)) {
    start(token, TokenKind::control, m_at);
    token.byte = c;
    token.end = ++m_at;
    return true;
  }
  start(token, TokenKind::text, m_at);
  m_at = next_control(data, m_at + 1, size);
  token.end = m_at;
  return true;
}

bool TokenReader::finish_sequence(Token& token) {
  const auto* data = reinterpret_cast<const unsigned char*>(m_bytes.data());
  std::size_t size = m_bytes.size();
  auto broken = [&](std::size_t end) {
    m_pending = Pending::none;
    token = m_partial;
    token.kind = TokenKind::broken;
    token.end = end;
    m_at = end;
    return true;
  };
  if (m_pending == Pending::csi) return read_csi(token);
  while (m_at < size) {
    unsigned char c = data[m_at];
    if (c == CAN || c == SUB) return broken(m_at + 1);
    if (c == ESC) return broken(m_at);
    if (c == DEL) {
      ++m_at;
      continue;
    }
    if (c < 0x20) {
      // Executed where it stands; the sequence goes on after it.
      start(token, TokenKind::control, m_at);
      token.byte = c;
      token.end = ++m_at;
      return true;
    }
    if (m_partial.intermediate == 0 && c == '[') {
      ++m_at;
      m_pending = Pending::csi;
      m_partial.kind = TokenKind::csi;
      m_value = 0;
      m_have_digit = false;
      m_have_separator = false;
      return read_csi(token);
    }
    if (m_partial.intermediate == 0 && (c == ']' || c == 'P' || c == 'X' || c == '^' || c == '_')) {
      ++m_at;
      m_partial.kind = TokenKind::string;
      m_partial.byte = c;
      return read_string(token);
    }
    if (c >= 0x20 && c <= 0x2f) {
      m_partial.intermediate = c;
      ++m_at;
      continue;
    }
    if (c >= 0x30 && c <= 0x7e) {
      m_pending = Pending::none;
      token = m_partial;
      token.kind = TokenKind::escape;
      token.final = c;
      token.end = m_at = m_at + 1;
      return true;
    }
    return broken(m_at);
  }
  return broken(size);
}

bool TokenReader::read_csi(Token& token) {
  const auto* data = reinterpret_cast<const unsigned char*>(m_bytes.data());
  std::size_t size = m_bytes.size();
  Token& csi = m_partial;
  auto push_param = [&] {
    if (csi.param_count < Token::MAX_PARAMS)
      csi.params[csi.param_count++] = m_have_digit ? m_value : MISSING_PARAM;
    m_value = 0;
    m_have_digit = false;
  };
  while (m_at < size) {
    unsigned char c = data[m_at];
    if (c >= 0x40 && c <= 0x7e) {
      if (m_have_digit || m_have_separator) push_param();
      m_pending = Pending::none;
      token = csi;
      token.final = c;
      token.end = m_at = m_at + 1;
      return true;
    }
    if (c == CAN || c == SUB || c == ESC || c >= 0x80) {
      m_pending = Pending::none;
      token = csi;
      token.kind = TokenKind::broken;
      token.end = m_at = (c == CAN || c == SUB) ? m_at + 1 : m_at;
      return true;
    }
    if (c < 0x20) {
      csi.embedded_controls = true;
      start(token, TokenKind::control, m_at);
      token.byte = c;
      token.end = ++m_at;
      return true;
    }
    ++m_at;
    if (c == DEL) continue;
    if (c >= 0x30 && c <= 0x3f) {
      if (csi.intermediate != 0) {
        csi.prefix = MALFORMED;
      } else if (c <= '9') {
        if (m_value < 100000000u) m_value = m_value * 10 + (c - '0');
        m_have_digit = true;
      } else if (c == ';' || c == ':') {
        push_param();
        m_have_separator = true;
      } else if (!m_have_digit && !m_have_separator && csi.prefix == 0) {
        csi.prefix = c;
      } else {
        csi.prefix = MALFORMED;
      }
    } else {
      csi.intermediate = c;  // 0x20 to 0x2f
    }
  }
  m_pending = Pending::none;
  token = csi;
  token.kind = TokenKind::broken;
  token.end = m_at = size;
  return true;
}

bool TokenReader::read_string(Token& token) {
  const auto* data = reinterpret_cast<const unsigned char*>(m_bytes.data());
  std::size_t size = m_bytes.size();
  m_pending = Pending::none;
  token = m_partial;
  while (m_at < size) {
    unsigned char c = data[m_at];
    if (c == 0x07) {
      token.end = ++m_at;
      return true;
    }
    if (c == ESC) {
      if (m_at + 1 < size && data[m_at + 1] == '\\') {
        token.end = m_at += 2;
        return true;
      }
      // Another sequence begins: this string was never finished.
      token.kind = TokenKind::broken;
      token.end = m_at;
      return true;
    }
    if (c == CAN || c == SUB) {
      token.kind = TokenKind::broken;
      token.end = ++m_at;
      return true;
    }
    ++m_at;
  }
  token.kind = TokenKind::broken;
  token.end = m_at;
  return true;
}

void append_sequence(std::string_view sequence, std::string& out) {
  if (sequence.empty()) return;
  out.push_back(sequence[0]);
  for (std::size_t i = 1; i < sequence.size(); ++i)
    if (static_cast<unsigned char>(sequence[i]) >= 0x20) out.push_back(sequence[i]);
}

}  // namespace velmora::client
