#include "json_scanner.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decimal_to_double.h"
#include "utf8.h"

namespace velmora::json {
namespace {

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
  if (!decimal_to_double(positive, significand, exponent, out)) {
    return fail_here(Syntax::number_out_of_range);
  }
  return true;
}

}  // namespace velmora::json
