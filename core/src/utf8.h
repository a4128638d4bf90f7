#pragma once

// The UTF-8 rules of the Unicode module, in this one place: which bytes form a well-formed
// sequence, its value, and the encoding of a value. Inline, since the JSON reader and writer ask
// them for every non-ASCII byte.

#include <cstddef>

namespace velmora::utf8 {

// U+FFFD, which stands for bytes that are not well-formed UTF-8.
inline constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";

// The sequence that starts at p, with at least one byte available: `length` is what its lead
// byte announces (1 to 4; 0 for a byte that starts none: a continuation byte, C0, C1, F5 to FF),
// `valid` how many of its bytes form the start of a well-formed sequence (`length` when it is
// complete; less for the maximal ill-formed subpart of a broken or truncated one). Overlong
// forms, surrogates and values above U+10FFFF are not well formed: the second byte's bounds
// after E0, ED, F0 and F4 exclude them.
struct Sequence {
  std::size_t length;
  std::size_t valid;
};

inline Sequence scan(const unsigned char* p, std::size_t available) {
  const unsigned lead = p[0];
  if (lead < 0x80) return {1, 1};
  std::size_t length;
  unsigned low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 0};
  }
  std::size_t valid = 1;
  for (; valid < length && valid < available; ++valid) {
    const unsigned byte = p[valid];
    if (byte < low || byte > high) break;
    low = 0x80;
    high = 0xBF;
  }
  return {length, valid};
}

// The length (2 to 4) of the well-formed multi-byte sequence at p, or 0 when the bytes there do
// not start one.
inline std::size_t sequence_length(const unsigned char* p, std::size_t available) {
  const Sequence sequence = scan(p, available);
  return sequence.length >= 2 && sequence.valid == sequence.length ? sequence.length : 0;
}

// The value of the well-formed sequence of length bytes at p.
inline unsigned decode(const unsigned char* p, std::size_t length) {
  if (length == 1) return p[0];
  unsigned code_point = p[0] & (0x7Fu >> length);
  for (std::size_t k = 1; k < length; ++k) code_point = (code_point << 6) | (p[k] & 0x3Fu);
  return code_point;
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
