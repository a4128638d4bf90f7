#pragma once

// The lexical layer of our strict JSON reading: white space, strings, numbers and literals,
// each fault reported with the column rule of the protocol (the 1-based position of the last
// byte looked at). Containers are left to the callers, which keep their own explicit stacks.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json_faults.h"

namespace velmora::json {

// At most this many arrays and objects may be open at once, the outermost counting as one.
inline constexpr std::size_t MAX_DEPTH = 127;

// A number as read: integers that fit 64 bits stay integers (non-negative ones unsigned,
// negative ones signed); everything else, -0 included, is a floating-point number.
struct Number {
  enum class Kind : std::uint8_t { unsigned_integer, signed_integer, floating };
  Kind kind = Kind::unsigned_integer;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
};

// A value that is not a container, as the fault texts describe it. text refers to storage of
// the caller's.
struct Scalar {
  enum class Kind : std::uint8_t { null, boolean, number, string };
  Kind kind = Kind::null;
  bool boolean = false;
  Number number;
  std::string_view text;
};

class Scanner {
 public:
  explicit Scanner(std::string_view text) : m_data(text.data()), m_size(text.size()) {}

  // The next byte, or -1 at the end of the text.
  int peek() const { return m_pos < m_size ? static_cast<unsigned char>(m_data[m_pos]) : -1; }
  void eat() { ++m_pos; }
  void skip_white_space() {
    while (m_pos < m_size) {
      char c = m_data[m_pos];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return;
      ++m_pos;
    }
  }

  // Record a fault and return false. fail_here points at the last byte consumed; fail_peek at
  // the byte being looked at (the last byte of the text when there is none).
  bool fail_here(std::string detail) { return fail_at(std::move(detail), m_pos); }
  bool fail_peek(std::string detail) {
    return fail_at(std::move(detail), m_pos < m_size ? m_pos + 1 : m_size);
  }
  bool fail_here(Syntax fault) { return fail_here(std::string(syntax_text(fault))); }
  bool fail_peek(Syntax fault) { return fail_peek(std::string(syntax_text(fault))); }
  const Fault& fault() const { return m_fault; }

  // Moves to the next element of an open array: Step::item with the element's first byte
  // ahead, Step::closed after consuming the closing bracket, or Step::failed. first is the
  // container's own flag, cleared by the first element.
  enum class Step : std::uint8_t { item, closed, failed };
  Step next_in_array(bool& first);
  // The same for an object; on Step::item the opening quotation mark of the member's name has
  // been consumed.
  Step next_in_object(bool& first);
  // The colon after a member name.
  bool read_colon();

  // Reads null, true, false or a number starting with first_byte; any other byte is the fault
  // "expected value".
  bool read_scalar(int first_byte, Scalar& out);

  // After the opening quotation mark: reads through the closing one. The unescaped text is
  // appended to out; with nullptr the string is only checked.
  bool read_string(std::string* out);
  // After a minus sign (Sign::negative) or at the first digit.
  enum class Sign : std::uint8_t { positive, negative };
  bool read_number(Sign sign, Number& out);
  // After the first letter of null, true or false: the letters that must follow.
  bool read_literal_rest(std::string_view rest);

 private:
  Step next_item(bool& first, char closing, Syntax eof, Syntax no_separator);
  Step step_failed(Syntax fault) {
    fail_peek(fault);
    return Step::failed;
  }
  bool fail_at(std::string detail, std::size_t index) {
    m_fault = Fault{std::move(detail), true, index};
    return false;
  }
  bool read_escape(std::string* out);
  bool read_unicode_escape(std::string* out);
  bool read_hex4(unsigned& value);
  bool read_number_tail(bool positive, std::uint64_t significand, Number& out);
  bool read_long_integer(bool positive, std::uint64_t significand, double& out);
  bool read_decimal(bool positive, std::uint64_t significand, std::int64_t exponent, double& out);
  bool read_decimal_overflow(bool positive, std::uint64_t significand, std::int64_t exponent,
                             double& out);
  bool read_exponent(bool positive, std::uint64_t significand, std::int64_t starting, double& out);
  bool read_exponent_overflow(bool positive, bool zero_significand, bool positive_exponent,
                              double& out);
  bool from_parts(bool positive, std::uint64_t significand, std::int64_t exponent, double& out);
  bool digit_next() const { return m_pos < m_size && m_data[m_pos] >= '0' && m_data[m_pos] <= '9'; }

  const char* m_data;
  std::size_t m_size;
  std::size_t m_pos = 0;
  Fault m_fault;
};

}  // namespace velmora::json
