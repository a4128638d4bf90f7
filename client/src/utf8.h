#pragma once

// Reading UTF-8 text one code point at a time.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::client {

// Decodes one UTF-8 sequence at text[i]; advances i. An invalid byte comes out as itself (0x80
// to 0xff), so that a caller can treat it like a control character.
inline std::uint32_t next_code_point(std::string_view text, std::size_t& i) {
  unsigned char lead = static_cast<unsigned char>(text[i]);
  std::size_t length = lead < 0x80           ? 1
                       : (lead >> 5) == 0x6  ? 2
                       : (lead >> 4) == 0xe  ? 3
                       : (lead >> 3) == 0x1e ? 4
                                             : 0;
  if (length == 0 || i + length > text.size()) {
    ++i;
    return lead;
  }
  std::uint32_t cp = length == 1 ? lead : lead & (0x7f >> length);
  for (std::size_t k = 1; k < length; ++k) {
    unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xc0) != 0x80) {
      ++i;
      return lead;
    }
    cp = (cp << 6) | (c & 0x3f);
  }
  i += length;
  return cp;
}

}  // namespace velmora::client
