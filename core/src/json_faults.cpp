// The texts of the faults found while reading JSON, and how they show the values involved.

#include "json_faults.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>

#include "json_scanner.h"
#include "printable.h"
#include "utf8.h"

namespace velmora::json {

std::string_view syntax_text(Syntax fault) {
  switch (fault) {
    case Syntax::eof_list:
      return "EOF while parsing a list";
    case Syntax::eof_object:
      return "EOF while parsing an object";
    case Syntax::eof_string:
      return "EOF while parsing a string";
    case Syntax::eof_value:
      return "EOF while parsing a value";
    case Syntax::expected_colon:
      return "expected `:`";
    case Syntax::expected_list_comma_or_end:
      return "expected `,` or `]`";
    case Syntax::expected_object_comma_or_end:
      return "expected `,` or `}`";
    case Syntax::expected_ident:
      return "expected ident";
    case Syntax::expected_value:
      return "expected value";
    case Syntax::invalid_escape:
      return "invalid escape";
    case Syntax::invalid_number:
      return "invalid number";
    case Syntax::number_out_of_range:
      return "number out of range";
    case Syntax::control_character:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case Syntax::key_must_be_string:
      return "key must be a string";
    case Syntax::trailing_comma:
      return "trailing comma";
    case Syntax::lone_leading_surrogate:
      return "lone leading surrogate in hex escape";
    case Syntax::unexpected_end_of_hex_escape:
      return "unexpected end of hex escape";
    case Syntax::recursion_limit:
      return "recursion limit exceeded";
    case Syntax::trailing_characters:
      return "trailing characters";
  }
  return "invalid syntax";
}

std::string describe_fault(std::string_view text, const Fault& fault) {
  if (!fault.positioned) return fault.detail;
  // Lines and columns count bytes; a column is the number of bytes of its line up to the index.
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < fault.index && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return fault.detail + " at line " + std::to_string(line) + " column " +
         std::to_string(fault.index - line_start);
}

std::string describe_number(const Number& number) {
  switch (number.kind) {
    case Number::Kind::unsigned_integer:
      return "integer `" + std::to_string(number.u) + "`";
    case Number::Kind::signed_integer:
      return "integer `" + std::to_string(number.i) + "`";
    case Number::Kind::floating:
      break;
  }
  // The shortest digits that read back as the same value, written out without an exponent
  // and always with a decimal point: 80.0, 0.001, 100000000000000000000.0.
  double value = number.f;
  std::string text = std::signbit(value) ? "-" : "";
  if (value == 0.0) return "floating point `" + text + "0.0`";
  // Room for any double: at most 17 digits, a point, "e-" and three exponent digits.
  char buffer[64];
  char* end =
      std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific)
          .ptr;
  std::string_view scientific(buffer, static_cast<std::size_t>(end - buffer));
  std::size_t e = scientific.find('e');
  std::string digits;
  for (char c : scientific.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::from_chars(scientific.data() + e + 1 + (scientific[e + 1] == '+'),
                  scientific.data() + scientific.size(), exponent);
  // value = 0.d1d2d3... * 10^point
  long point = exponent + 1;
  long count = static_cast<long>(digits.size());
  if (point <= 0) {
    text += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (point >= count) {
    text += digits + std::string(static_cast<std::size_t>(point - count), '0') + ".0";
  } else {
    text += digits.substr(0, static_cast<std::size_t>(point)) + "." +
            digits.substr(static_cast<std::size_t>(point));
  }
  return "floating point `" + text + "`";
}

std::string describe(const Scalar& value) {
  switch (value.kind) {
    case Scalar::Kind::null:
      return "null";
    case Scalar::Kind::boolean:
      return value.boolean ? "boolean `true`" : "boolean `false`";
    case Scalar::Kind::number:
      return describe_number(value.number);
    case Scalar::Kind::string:
      break;
  }
  return describe_string(value.text);
}

std::string describe_string(std::string_view text) {
  // Printable characters stay; quotation marks and backslashes get a backslash; \t \r \n \0
  // keep their short escapes; every other character that would not print (controls, format
  // characters, separators other than the space, unassigned or private-use code points and
  // combining marks) is written as \u{hex}.
  std::string out = "string \"";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned c = p[i];
    unsigned code_point;
    std::size_t len = 1;
    if (c < 0x80) {
      code_point = c;
    } else {
      len = utf8::sequence_length(p + i, text.size() - i);
      if (len == 0) {
        // Not UTF-8 at all: shown as the replacement character.
        out += "\\u{fffd}";
        ++i;
        continue;
      }
      code_point = utf8::decode(p + i, len);
    }
    switch (code_point) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (is_escaped_in_description(code_point)) {
          char hex[16];
          auto end = std::to_chars(hex, hex + sizeof hex, code_point, 16).ptr;
          out += "\\u{";
          out.append(hex, static_cast<std::size_t>(end - hex));
          out += '}';
        } else {
          out.append(text.data() + i, len);
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

}  // namespace velmora::json
