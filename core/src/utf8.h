#pragma once

// UTF-8 details shared by the reader, the writer and the Unicode helpers.

#include <cstddef>

namespace velmora::utf8 {

// The length (2 to 4) of the well-formed multi-byte sequence at p, or 0 when the bytes there do
// not start one (overlong forms, surrogates and values above U+10FFFF are not well formed).
inline std::size_t sequence_length(const unsigned char* p, std::size_t available) {
  unsigned c = p[0];
  std::size_t need;
  unsigned low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 2;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available <= need) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t k = 2; k <= need; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
  }
  return need + 1;
}

// Appends the UTF-8 form of a Unicode scalar value (not a surrogate) at out; returns the end.
inline char* encode(char* out, unsigned code_point) {
  if (code_point < 0x80) {
    *out++ = static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *out++ = static_cast<char>(0xC0 | (code_point >> 6));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (code_point >> 12));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (code_point >> 18));
    *out++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return out;
}

}  // namespace velmora::utf8
