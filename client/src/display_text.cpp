#include "display_text.h"

#include <cstdint>
#include <cstdio>

#include "utf8.h"

namespace velmora::client {
namespace {

bool is_control(std::uint32_t cp) { return cp < 0x20 || (cp >= 0x7f && cp < 0xa0); }

bool is_wide(std::uint32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115f) || (cp >= 0x2e80 && cp <= 0x303e) ||
         (cp >= 0x3041 && cp <= 0x33ff) || (cp >= 0x3400 && cp <= 0x4dbf) ||
         (cp >= 0x4e00 && cp <= 0x9fff) || (cp >= 0xa000 && cp <= 0xa4cf) ||
         (cp >= 0xac00 && cp <= 0xd7a3) || (cp >= 0xf900 && cp <= 0xfaff) ||
         (cp >= 0xfe30 && cp <= 0xfe4f) || (cp >= 0xff00 && cp <= 0xff60) ||
         (cp >= 0xffe0 && cp <= 0xffe6) || (cp >= 0x1f300 && cp <= 0x1f64f) ||
         (cp >= 0x1f900 && cp <= 0x1f9ff) || (cp >= 0x20000 && cp <= 0x3fffd);
}

// Combining marks take no column of their own.
std::size_t code_point_width(std::uint32_t cp) {
  if (cp >= 0x300 && cp <= 0x36f) return 0;
  return is_wide(cp) ? 2 : 1;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t start = i;
    std::uint32_t cp = next_code_point(text, i);
    // A lone invalid byte comes back as itself with i advanced by one.
    bool invalid = cp >= 0x80 && i - start == 1;
    if (is_control(cp) || invalid || cp > 0x10ffff) {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, cp < 0x100 ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(cp));
      result += escaped;
    } else {
      result.append(text.substr(start, i - start));
    }
  }
  return result;
}

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  std::size_t i = 0;
  while (i < text.size()) width += code_point_width(next_code_point(text, i));
  return width;
}

std::string clip_end(std::string_view text, std::size_t width) {
  std::size_t used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t start = i;
    std::size_t next = used + code_point_width(next_code_point(text, i));
    if (next > width) return std::string(text.substr(0, start));
    used = next;
  }
  return std::string(text);
}

std::string clip_start(std::string_view text, std::size_t width) {
  constexpr std::string_view MARK = "...";
  if (display_width(text) <= width) return std::string(text);
  if (width <= MARK.size()) return std::string(MARK.substr(0, width));
  // The shortest tail that fits beside the mark, found from the front so that a character is
  // never split.
  std::size_t i = 0;
  while (i < text.size() && display_width(text.substr(i)) > width - MARK.size())
    next_code_point(text, i);
  return std::string(MARK) + std::string(text.substr(i));
}

}  // namespace velmora::client
