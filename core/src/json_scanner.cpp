#include "json_scanner.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include "printable.h"
#include "utf8.h"

namespace velmora::json {
namespace {

// Powers of ten that a double holds; scaling by them reproduces the protocol's established
// reading of floating-point numbers, including which ones are out of range.
// clang-format off
constexpr double POW10[] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9,
    1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19,
    1e20, 1e21, 1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29,
    1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39,
    1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49,
    1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59,
    1e60, 1e61, 1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69,
    1e70, 1e71, 1e72, 1e73, 1e74, 1e75, 1e76, 1e77, 1e78, 1e79,
    1e80, 1e81, 1e82, 1e83, 1e84, 1e85, 1e86, 1e87, 1e88, 1e89,
    1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97, 1e98, 1e99,
    1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109,
    1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129,
    1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139,
    1e140, 1e141, 1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149,
    1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169,
    1e170, 1e171, 1e172, 1e173, 1e174, 1e175, 1e176, 1e177, 1e178, 1e179,
    1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189,
    1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199,
    1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207, 1e208, 1e209,
    1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219,
    1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229,
    1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249,
    1e250, 1e251, 1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259,
    1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269,
    1e270, 1e271, 1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279,
    1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287, 1e288, 1e289,
    1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299,
    1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306, 1e307, 1e308,
};
// clang-format on
constexpr std::size_t POW10_COUNT = sizeof POW10 / sizeof POW10[0];

// Bytes that end the fast scan of a string: the quotation mark, the backslash, controls.
struct StringStops {
  bool stop[256]{};
  constexpr StringStops() {
    for (int c = 0; c < 0x20; ++c) stop[c] = true;
    stop[static_cast<unsigned char>('"')] = true;
    stop[static_cast<unsigned char>('\\')] = true;
  }
};
constexpr StringStops STOPS;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Would a * 10 + digit exceed limit?
template <typename T>
bool overflows(T a, T digit, T limit) {
  return a >= limit / 10 && (a > limit / 10 || digit > limit % 10);
}

}  // namespace

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

Scanner::Step Scanner::next_item(bool& first, char closing, Syntax eof, Syntax no_separator) {
  skip_white_space();
  int c = peek();
  if (c == closing) {
    eat();
    return Step::closed;
  }
  if (c == ',' && !first) {
    eat();
    skip_white_space();
    c = peek();
  } else if (c < 0) {
    return step_failed(eof);
  } else if (first) {
    first = false;
  } else {
    return step_failed(no_separator);
  }
  if (c == closing) return step_failed(Syntax::trailing_comma);
  if (c < 0) return step_failed(Syntax::eof_value);
  return Step::item;
}

Scanner::Step Scanner::next_in_array(bool& first) {
  return next_item(first, ']', Syntax::eof_list, Syntax::expected_list_comma_or_end);
}

Scanner::Step Scanner::next_in_object(bool& first) {
  Step step = next_item(first, '}', Syntax::eof_object, Syntax::expected_object_comma_or_end);
  if (step != Step::item) return step;
  if (peek() != '"') return step_failed(Syntax::key_must_be_string);
  eat();
  return Step::item;
}

bool Scanner::read_colon() {
  skip_white_space();
  int c = peek();
  if (c == ':') {
    eat();
    return true;
  }
  return fail_peek(c < 0 ? Syntax::eof_object : Syntax::expected_colon);
}

bool Scanner::read_scalar(int first_byte, Scalar& out) {
  switch (first_byte) {
    case 'n':
      eat();
      out.kind = Scalar::Kind::null;
      return read_literal_rest("ull");
    case 't':
    case 'f':
      eat();
      out.kind = Scalar::Kind::boolean;
      out.boolean = first_byte == 't';
      return read_literal_rest(out.boolean ? "rue" : "alse");
    case '-':
      eat();
      out.kind = Scalar::Kind::number;
      return read_number(Sign::negative, out.number);
    default:
      if (first_byte >= '0' && first_byte <= '9') {
        out.kind = Scalar::Kind::number;
        return read_number(Sign::positive, out.number);
      }
      return fail_peek(Syntax::expected_value);
  }
}

bool Scanner::read_string(std::string* out) {
  std::size_t run = m_pos;
  for (;;) {
    while (m_pos < m_size && !STOPS.stop[static_cast<unsigned char>(m_data[m_pos])]) ++m_pos;
    if (m_pos == m_size) return fail_here(Syntax::eof_string);
    char c = m_data[m_pos];
    if (c == '"') {
      if (out) out->append(m_data + run, m_pos - run);
      ++m_pos;
      return true;
    }
    if (c != '\\') {
      ++m_pos;
      return fail_here(Syntax::control_character);
    }
    if (out) out->append(m_data + run, m_pos - run);
    ++m_pos;
    if (!read_escape(out)) return false;
    run = m_pos;
  }
}

bool Scanner::read_escape(std::string* out) {
  if (m_pos == m_size) return fail_here(Syntax::eof_string);
  char c = m_data[m_pos++];
  char unescaped;
  switch (c) {
    case '"':
      unescaped = '"';
      break;
    case '\\':
      unescaped = '\\';
      break;
    case '/':
      unescaped = '/';
      break;
    case 'b':
      unescaped = '\b';
      break;
    case 'f':
      unescaped = '\f';
      break;
    case 'n':
      unescaped = '\n';
      break;
    case 'r':
      unescaped = '\r';
      break;
    case 't':
      unescaped = '\t';
      break;
    case 'u':
      return read_unicode_escape(out);
    default:
      return fail_here(Syntax::invalid_escape);
  }
  if (out) out->push_back(unescaped);
  return true;
}

bool Scanner::read_hex4(unsigned& value) {
  // Fewer than four bytes left is the end of the text, whatever those bytes are.
  if (m_size - m_pos < 4) {
    m_pos = m_size;
    return fail_here(Syntax::eof_string);
  }
  value = 0;
  for (int k = 0; k < 4; ++k) {
    int digit = hex_value(m_data[m_pos++]);
    if (digit < 0) return fail_here(Syntax::invalid_escape);
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

bool Scanner::read_unicode_escape(std::string* out) {
  unsigned first;
  if (!read_hex4(first)) return false;
  if (first >= 0xDC00 && first <= 0xDFFF) return fail_here(Syntax::lone_leading_surrogate);
  unsigned code_point = first;
  if (first >= 0xD800 && first <= 0xDBFF) {
    // A leading surrogate: the trailing one must follow at once as another \u escape.
    for (char expected : {'\\', 'u'}) {
      if (m_pos == m_size) return fail_here(Syntax::eof_string);
      if (m_data[m_pos++] != expected) return fail_here(Syntax::unexpected_end_of_hex_escape);
    }
    unsigned second;
    if (!read_hex4(second)) return false;
    if (second < 0xDC00 || second > 0xDFFF) return fail_here(Syntax::lone_leading_surrogate);
    code_point = 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
  }
  if (out) {
    char buffer[4];
    out->append(buffer, static_cast<std::size_t>(utf8::encode(buffer, code_point) - buffer));
  }
  return true;
}

bool Scanner::read_literal_rest(std::string_view rest) {
  for (char expected : rest) {
    if (m_pos == m_size) return fail_here(Syntax::eof_value);
    if (m_data[m_pos++] != expected) return fail_here(Syntax::expected_ident);
  }
  return true;
}

bool Scanner::read_number(Sign sign, Number& out) {
  const bool positive = sign == Sign::positive;
  if (m_pos == m_size) return fail_here(Syntax::eof_value);
  char c = m_data[m_pos++];
  if (c == '0') {
    if (digit_next()) return fail_peek(Syntax::invalid_number);
    return read_number_tail(positive, 0, out);
  }
  if (c < '1' || c > '9') return fail_here(Syntax::invalid_number);
  std::uint64_t significand = static_cast<std::uint64_t>(c - '0');
  while (digit_next()) {
    auto digit = static_cast<std::uint64_t>(m_data[m_pos] - '0');
    if (overflows<std::uint64_t>(significand, digit, UINT64_MAX)) {
      // Too long for 64 bits: the rest only scales the value.
      out.kind = Number::Kind::floating;
      return read_long_integer(positive, significand, out.f);
    }
    ++m_pos;
    significand = significand * 10 + digit;
  }
  return read_number_tail(positive, significand, out);
}

bool Scanner::read_number_tail(bool positive, std::uint64_t significand, Number& out) {
  int c = peek();
  if (c == '.' || c == 'e' || c == 'E') {
    out.kind = Number::Kind::floating;
    return c == '.' ? read_decimal(positive, significand, 0, out.f)
                    : read_exponent(positive, significand, 0, out.f);
  }
  if (positive) {
    out.kind = Number::Kind::unsigned_integer;
    out.u = significand;
    return true;
  }
  // -0 and anything below -2^63 are floating-point numbers.
  auto negated = static_cast<std::int64_t>(std::uint64_t{0} - significand);
  if (negated >= 0) {
    out.kind = Number::Kind::floating;
    out.f = -static_cast<double>(significand);
  } else {
    out.kind = Number::Kind::signed_integer;
    out.i = negated;
  }
  return true;
}

bool Scanner::read_long_integer(bool positive, std::uint64_t significand, double& out) {
  std::int64_t exponent = 0;
  for (;;) {
    int c = peek();
    if (c >= '0' && c <= '9') {
      ++m_pos;
      ++exponent;
    } else if (c == '.') {
      return read_decimal(positive, significand, exponent, out);
    } else if (c == 'e' || c == 'E') {
      return read_exponent(positive, significand, exponent, out);
    } else {
      return from_parts(positive, significand, exponent, out);
    }
  }
}

bool Scanner::read_decimal(bool positive, std::uint64_t significand, std::int64_t exponent,
                           double& out) {
  ++m_pos;  // the decimal point
  std::int64_t fraction_digits = 0;
  while (digit_next()) {
    auto digit = static_cast<std::uint64_t>(m_data[m_pos] - '0');
    if (overflows<std::uint64_t>(significand, digit, UINT64_MAX)) {
      return read_decimal_overflow(positive, significand, exponent - fraction_digits, out);
    }
    ++m_pos;
    significand = significand * 10 + digit;
    ++fraction_digits;
  }
  if (fraction_digits == 0) {
    return fail_peek(m_pos < m_size ? Syntax::invalid_number : Syntax::eof_value);
  }
  exponent -= fraction_digits;
  int c = peek();
  if (c == 'e' || c == 'E') return read_exponent(positive, significand, exponent, out);
  return from_parts(positive, significand, exponent, out);
}

bool Scanner::read_decimal_overflow(bool positive, std::uint64_t significand, std::int64_t exponent,
                                    double& out) {
  // Digits beyond what 64 bits hold are dropped.
  while (digit_next()) ++m_pos;
  int c = peek();
  if (c == 'e' || c == 'E') return read_exponent(positive, significand, exponent, out);
  return from_parts(positive, significand, exponent, out);
}

bool Scanner::read_exponent(bool positive, std::uint64_t significand, std::int64_t starting,
                            double& out) {
  ++m_pos;  // e or E
  bool positive_exponent = true;
  if (peek() == '+') {
    ++m_pos;
  } else if (peek() == '-') {
    ++m_pos;
    positive_exponent = false;
  }
  if (m_pos == m_size) return fail_here(Syntax::eof_value);
  char c = m_data[m_pos++];
  if (c < '0' || c > '9') return fail_here(Syntax::invalid_number);
  std::int32_t exponent = c - '0';
  while (digit_next()) {
    std::int32_t digit = m_data[m_pos++] - '0';
    if (overflows<std::int32_t>(exponent, digit, INT32_MAX)) {
      return read_exponent_overflow(positive, significand == 0, positive_exponent, out);
    }
    exponent = exponent * 10 + digit;
  }
  std::int64_t total = positive_exponent ? starting + exponent : starting - exponent;
  total = total > INT32_MAX ? INT32_MAX : total < INT32_MIN ? INT32_MIN : total;
  return from_parts(positive, significand, total, out);
}

bool Scanner::read_exponent_overflow(bool positive, bool zero_significand, bool positive_exponent,
                                     double& out) {
  if (!zero_significand && positive_exponent) return fail_here(Syntax::number_out_of_range);
  while (digit_next()) ++m_pos;
  out = positive ? 0.0 : -0.0;
  return true;
}

bool Scanner::from_parts(bool positive, std::uint64_t significand, std::int64_t exponent,
                         double& out) {
  double value = static_cast<double>(significand);
  for (;;) {
    std::uint64_t magnitude =
        exponent < 0 ? static_cast<std::uint64_t>(-exponent) : static_cast<std::uint64_t>(exponent);
    if (magnitude < POW10_COUNT) {
      if (exponent >= 0) {
        value *= POW10[magnitude];
        if (std::isinf(value)) return fail_here(Syntax::number_out_of_range);
      } else {
        value /= POW10[magnitude];
      }
      break;
    }
    if (value == 0.0) break;
    if (exponent >= 0) return fail_here(Syntax::number_out_of_range);
    value /= 1e308;
    exponent += 308;
  }
  out = positive ? value : -value;
  return true;
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
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                 std::chars_format::scientific);
  if (ec != std::errc()) return "floating point `" + text + "NaN`";
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
