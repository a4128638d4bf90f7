#pragma once

// Compact JSON writing in two passes over the same code: a LengthCounter measures the line, a
// BufferWriter then fills a buffer of exactly that size. No tree and no growth while writing.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "utf8.h"
#include "velmora/core/byte_buffer.h"

namespace velmora::json {

// Strings are written with the two-character escapes for the quotation mark, the backslash and
// \b \t \n \f \r, \u00xx for the other control characters, everything else as its UTF-8 bytes.
// A byte that does not belong to well-formed UTF-8 becomes U+FFFD, so that every line we write
// is valid UTF-8 and a reader never stumbles over it.

// 0 for bytes copied as they are, else the escape's second character ('u' for \u00xx).
struct EscapeTable {
  char second[256]{};
  constexpr EscapeTable() {
    for (int c = 0; c < 0x20; ++c) second[c] = 'u';
    second[static_cast<unsigned char>('"')] = '"';
    second[static_cast<unsigned char>('\\')] = '\\';
    second[0x08] = 'b';
    second[0x09] = 't';
    second[0x0A] = 'n';
    second[0x0C] = 'f';
    second[0x0D] = 'r';
  }
};
inline constexpr EscapeTable ESCAPES;

inline std::uint64_t load8(const unsigned char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// True when one of the eight bytes is a control, a quotation mark, a backslash or not ASCII.
inline bool needs_attention(std::uint64_t word) {
  constexpr std::uint64_t ONES = 0x0101010101010101u;
  constexpr std::uint64_t HIGH = 0x8080808080808080u;
  const auto has_zero = [](std::uint64_t v) { return (v - ONES) & ~v & HIGH; };
  const std::uint64_t below_space = (word - ONES * 0x20) & ~word & HIGH;
  return ((word & HIGH) | below_space | has_zero(word ^ (ONES * '"')) |
          has_zero(word ^ (ONES * '\\'))) != 0;
}

// Walks text and reports runs of bytes to copy, escapes and replacements to sink.
template <typename Sink>
void walk_string(Sink& sink, std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t run = 0;  // start of the pending run of bytes copied verbatim
  std::size_t i = 0;
  while (i < size) {
    // Most text needs nothing: skip eight plain bytes at a time.
    while (i + 16 <= size && !needs_attention(load8(p + i)) && !needs_attention(load8(p + i + 8))) {
      i += 16;
    }
    while (i + 8 <= size && !needs_attention(load8(p + i))) i += 8;
    if (i >= size) break;
    unsigned c = p[i];
    if (c >= 0x80) {
      std::size_t len = utf8::sequence_length(p + i, size - i);
      if (len != 0) {
        i += len;
        continue;
      }
      sink.raw(text.substr(run, i - run));
      sink.raw(std::string_view(utf8::REPLACEMENT, 3));
      run = ++i;
      continue;
    }
    char second = ESCAPES.second[c];
    if (second == 0) {
      ++i;
      continue;
    }
    sink.raw(text.substr(run, i - run));
    if (second == 'u') {
      static constexpr char HEX[] = "0123456789abcdef";
      const char escape[6] = {'\\', 'u', '0', '0', HEX[c >> 4], HEX[c & 15]};
      sink.raw(std::string_view(escape, 6));
    } else {
      const char escape[2] = {'\\', second};
      sink.raw(std::string_view(escape, 2));
    }
    run = ++i;
  }
  sink.raw(text.substr(run));
}

class LengthCounter {
 public:
  void raw(std::string_view text) { m_size += text.size(); }
  void put(char) { ++m_size; }
  void string(std::string_view text) {
    m_size += 2;
    walk_string(*this, text);
  }
  void unsigned_integer(std::uint64_t value) {
    char digits[20];
    m_size += static_cast<std::size_t>(std::to_chars(digits, digits + 20, value).ptr - digits);
  }
  // Room for base64 text written later straight into the buffer.
  void reserve(std::size_t size) { m_size += size; }
  std::size_t size() const { return m_size; }

 private:
  std::size_t m_size = 0;
};

class BufferWriter {
 public:
  explicit BufferWriter(char* out) : m_out(out) {}
  void raw(std::string_view text) {
    std::memcpy(m_out, text.data(), text.size());
    m_out += text.size();
  }
  void put(char c) { *m_out++ = c; }
  void string(std::string_view text) {
    put('"');
    walk_string(*this, text);
    put('"');
  }
  void unsigned_integer(std::uint64_t value) {
    m_out = std::to_chars(m_out, m_out + 20, value).ptr;
  }
  // Hands out the next size bytes for the caller to fill.
  char* reserve(std::size_t size) {
    char* at = m_out;
    m_out += size;
    return at;
  }
  char* end() const { return m_out; }

 private:
  char* m_out;
};

// A string, or null when there is none; for either sink.
template <typename Sink>
void string_or_null(Sink& sink, const std::optional<std::string>& text) {
  if (text) {
    sink.string(*text);
  } else {
    sink.raw("null");
  }
}

// Runs write(sink) twice: once to measure, once to fill a string of exactly that length.
template <typename WriteFn>
std::string build(WriteFn&& write) {
  LengthCounter counter;
  write(counter);
  std::string line(counter.size(), '\0');
  BufferWriter writer(line.data());
  write(writer);
  return line;
}

// The same into a buffer that is not cleared first, for the large lines.
template <typename WriteFn>
ByteBuffer build_buffer(WriteFn&& write) {
  LengthCounter counter;
  write(counter);
  ByteBuffer line(counter.size());
  BufferWriter writer(line.data());
  write(writer);
  return line;
}

// The same into line, reusing its storage: no allocation once it has grown to the largest size.
template <typename WriteFn>
void build_into(std::string& line, WriteFn&& write) {
  LengthCounter counter;
  write(counter);
  line.resize(counter.size());
  BufferWriter writer(line.data());
  write(writer);
}

}  // namespace velmora::json
