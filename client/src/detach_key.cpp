#include "detach_key.h"

#include <cctype>

namespace velmora::client {

std::optional<unsigned char> parse_detach_key(std::string_view text) {
  if (text.size() == 1) {
    unsigned char c = static_cast<unsigned char>(text[0]);
    if (c >= 0x20 && c < 0x7f) return c;
    return std::nullopt;
  }
  if (text.size() != 2 || text[0] != '^') return std::nullopt;
  unsigned char c = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(text[1])));
  if (c == '?') return 0x7f;
  if (c >= '@' && c <= '_') return static_cast<unsigned char>(c - '@');
  return std::nullopt;
}

std::string describe_detach_key(unsigned char key) {
  if (key == 0x7f) return "Ctrl-?";
  if (key < 0x20) return std::string("Ctrl-") + static_cast<char>(key + '@');
  return std::string(1, static_cast<char>(key));
}

}  // namespace velmora::client
