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

}  // namespace velmora::client

namespace velmora::client {

DetachKeyFilter::Keys DetachKeyFilter::feed(std::string_view input, Clock::time_point now) {
  Keys keys;
  if (!m_key) {
    keys.to_send = input;
    return keys;
  }
  const char key = static_cast<char>(*m_key);
  for (char c : input) {
    if (m_deadline) {
      m_deadline.reset();
      if (c != key) {
        keys.detach = true;
        return keys;
      }
      keys.to_send += key;
    } else if (c == key) {
      m_deadline = now + m_window;
    } else {
      keys.to_send += c;
    }
  }
  return keys;
}

}  // namespace velmora::client
