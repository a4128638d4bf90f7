#include "velmora/core/unicode.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "utf8.h"

namespace velmora {
namespace {

// The byte length of the White_Space character that starts at text[i], or 0.
std::size_t white_space_at(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) -> unsigned {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0x100;
  };
  unsigned b0 = byte(0);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (b0 == 0xC2) return byte(1) == 0x85 || byte(1) == 0xA0 ? 2 : 0;
  if (b0 == 0xE1) return byte(1) == 0x9A && byte(2) == 0x80 ? 3 : 0;
  if (b0 == 0xE3) return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
  if (b0 != 0xE2) return 0;
  unsigned b1 = byte(1), b2 = byte(2);
  if (b1 == 0x80) {
    // U+2000..U+200A, U+2028, U+2029, U+202F.
    return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
  }
  return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
}

// The byte length of the White_Space character that ends text, or 0.
std::size_t white_space_before_end(std::string_view text) {
  for (std::size_t len = 1; len <= 3 && len <= text.size(); ++len) {
    std::size_t start = text.size() - len;
    if (white_space_at(text, start) == len) return len;
  }
  return 0;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    std::size_t len = utf8::sequence_length(p, static_cast<std::size_t>(end - p));
    if (len == 0) return false;
    p += len;
  }
  return true;
}

bool is_blank(std::string_view text) { return trim_white_space(text).empty(); }

std::string_view trim_white_space(std::string_view text) {
  while (std::size_t len = white_space_at(text, 0)) text.remove_prefix(len);
  while (std::size_t len = white_space_before_end(text)) text.remove_suffix(len);
  return text;
}

std::string lossy_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    const utf8::Sequence sequence = utf8::scan(p + i, text.size() - i);
    if (sequence.length != 0 && sequence.valid == sequence.length) {
      out.append(text.substr(i, sequence.length));
      i += sequence.length;
      continue;
    }
    // Each maximal ill-formed subpart becomes one replacement character.
    out += utf8::REPLACEMENT;
    i += sequence.valid == 0 ? 1 : sequence.valid;
  }
  return out;
}

}  // namespace velmora
