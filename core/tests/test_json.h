#pragma once

// A small, independent JSON reader for the tests: reads the records of the test data and the
// lines that the codec writes, so that they can be compared as values rather than as text.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::test {

struct JsonValue {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  std::string text;  // the number's spelling, or the string's content
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in order of appearance

  const JsonValue* find(std::string_view name) const {
    for (const auto& [key, value] : members) {
      if (key == name) return &value;
    }
    return nullptr;
  }
  friend bool operator==(const JsonValue&, const JsonValue&) = default;
};

class JsonParser {
 public:
  explicit JsonParser(std::string_view text) : m_text(text) {}

  // The one value of the text, or nothing when the text is not JSON.
  std::optional<JsonValue> parse() {
    JsonValue value;
    if (!value_at(value, 0)) return std::nullopt;
    skip();
    if (m_pos != m_text.size()) return std::nullopt;
    return value;
  }

 private:
  void skip() {
    while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\t' ||
                                     m_text[m_pos] == '\n' || m_text[m_pos] == '\r')) {
      ++m_pos;
    }
  }
  bool literal(std::string_view word) {
    if (m_text.substr(m_pos, word.size()) != word) return false;
    m_pos += word.size();
    return true;
  }
  bool hex4(unsigned& out) {
    if (m_pos + 4 > m_text.size()) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = m_text[m_pos++];
      out <<= 4;
      if (c >= '0' && c <= '9')
        out |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        out |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        out |= static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }
  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  bool string(std::string& out) {
    ++m_pos;  // opening quote
    while (m_pos < m_text.size()) {
      char c = m_text[m_pos++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_text.size()) return false;
      char e = m_text[m_pos++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            unsigned low;
            if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          append_utf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool value_at(JsonValue& out, int depth) {
    if (depth > 64) return false;  // test data is shallow
    skip();
    if (m_pos >= m_text.size()) return false;
    char c = m_text[m_pos];
    if (c == 'n') return literal("null");
    if (c == 't' || c == 'f') {
      out.kind = JsonValue::Kind::boolean;
      out.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == '"') {
      out.kind = JsonValue::Kind::string;
      return string(out.text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      out.kind = JsonValue::Kind::number;
      std::size_t start = m_pos++;
      while (m_pos < m_text.size() &&
             std::string_view("0123456789.eE+-").find(m_text[m_pos]) != std::string_view::npos) {
        ++m_pos;
      }
      out.text = std::string(m_text.substr(start, m_pos - start));
      return true;
    }
    if (c == '[' || c == '{') {
      const bool object = c == '{';
      out.kind = object ? JsonValue::Kind::object : JsonValue::Kind::array;
      ++m_pos;
      skip();
      if (m_pos < m_text.size() && m_text[m_pos] == (object ? '}' : ']')) {
        ++m_pos;
        return true;
      }
      for (;;) {
        if (object) {
          skip();
          std::string name;
          if (m_pos >= m_text.size() || m_text[m_pos] != '"' || !string(name)) return false;
          skip();
          if (!literal(":")) return false;
          JsonValue member;
          if (!value_at(member, depth + 1)) return false;
          out.members.emplace_back(std::move(name), std::move(member));
        } else {
          JsonValue item;
          if (!value_at(item, depth + 1)) return false;
          out.items.push_back(std::move(item));
        }
        skip();
        if (literal(",")) continue;
        return literal(object ? "}" : "]");
      }
    }
    return false;
  }

  std::string_view m_text;
  std::size_t m_pos = 0;
};

inline std::optional<JsonValue> parse_json(std::string_view text) {
  return JsonParser(text).parse();
}

}  // namespace velmora::test
