#pragma once

// The texts of the faults found while reading JSON, fixed because they reach clients.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::json {

struct Number;
struct Scalar;

// Begins every failure of decode_line and decode_event.
inline constexpr std::string_view FAILURE_PREFIX = "読み取りに失敗: ";

// The faults of the JSON text itself.
enum class Syntax : std::uint8_t {
  eof_list,
  eof_object,
  eof_string,
  eof_value,
  expected_colon,
  expected_list_comma_or_end,
  expected_object_comma_or_end,
  expected_ident,
  expected_value,
  invalid_escape,
  invalid_number,
  number_out_of_range,
  control_character,
  key_must_be_string,
  trailing_comma,
  lone_leading_surrogate,
  unexpected_end_of_hex_escape,
  recursion_limit,
  trailing_characters,
};

std::string_view syntax_text(Syntax fault);

// A fault: its description and, when it carries one, how many bytes the column counts.
struct Fault {
  std::string detail;
  bool positioned = false;
  std::size_t index = 0;
};

// Renders "{detail}" or "{detail} at line {l} column {c}" for a fault found in text.
std::string describe_fault(std::string_view text, const Fault& fault);

// How a fault text shows a value: "null", "boolean `true`", "integer `-3`",
// "floating point `80.0`", "string \"...\"".
std::string describe_number(const Number& number);
std::string describe_string(std::string_view text);
std::string describe(const Scalar& value);

}  // namespace velmora::json
