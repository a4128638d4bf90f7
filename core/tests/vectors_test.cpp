// Every record of the codec's reference data: decode.jsonl (request lines and what they read
// as, or their exact fault text) and base64.jsonl (canonical and rejected encodings).

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base64_path_guard.h"
#include "base64_paths.h"
#include "test_json.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"

namespace velmora {
namespace {

using test::JsonValue;

std::vector<JsonValue> read_records(const std::string& file) {
  std::ifstream in(std::string(VELMORA_CORE_TEST_DATA) + "/" + file, std::ios::binary);
  EXPECT_TRUE(in) << file;
  std::vector<JsonValue> records;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    auto record = test::parse_json(line);
    EXPECT_TRUE(record.has_value()) << file << ":" << number;
    if (record) records.push_back(std::move(*record));
  }
  return records;
}

bool flag(const JsonValue& record, std::string_view name) {
  const JsonValue* value = record.find(name);
  return value && value->kind == JsonValue::Kind::boolean && value->boolean;
}

// The text with what lies between opening and closing blanked out, where the reference leaves
// the spelling open (the digits of a float, the escaping inside a described string).
std::string mask(std::string text, std::string_view opening, std::string_view closing) {
  std::size_t from = text.find(opening);
  if (from == std::string::npos) return text;
  from += opening.size();
  std::size_t to = text.rfind(closing);
  if (to == std::string::npos || to < from) return text;
  return text.replace(from, to - from, "…");
}

std::string masked(const std::string& text, const JsonValue& record) {
  if (flag(record, "float")) return mask(text, "floating point `", "`");
  if (flag(record, "str_escape")) return mask(text, "string \"", "\", expected");
  return text;
}

TEST(CodecVectors, EveryDecodeRecordReadsAsRecorded) {
  const auto records = read_records("decode.jsonl");
  ASSERT_GT(records.size(), 5000u);
  int requests = 0, exact_errors = 0, tolerated = 0;
  for (const JsonValue& record : records) {
    const JsonValue* line = record.find("line");
    ASSERT_NE(line, nullptr);
    const Result<Request> decoded = decode_line(line->text);
    if (const JsonValue* expected = record.find("request")) {
      ASSERT_TRUE(decoded.has_value()) << line->text << "\n" << decoded.error().text();
      std::string written = encode_request(*decoded);
      ASSERT_EQ(written.back(), '\n');
      written.pop_back();
      auto actual = test::parse_json(written);
      ASSERT_TRUE(actual.has_value()) << written;
      EXPECT_EQ(*actual, *expected) << line->text << "\nwritten: " << written;
      ++requests;
      continue;
    }
    const JsonValue* error = record.find("error");
    ASSERT_NE(error, nullptr);
    ASSERT_FALSE(decoded.has_value()) << line->text;
    const std::string& actual = decoded.error().text();
    if (actual == error->text) {
      ++exact_errors;
      continue;
    }
    EXPECT_EQ(masked(actual, record), masked(error->text, record)) << line->text;
    ++tolerated;
  }
  std::cout << "decode records: " << requests << " requests, " << exact_errors << " exact faults, "
            << tolerated << " within the tolerated spelling\n";
}

std::string to_hex(std::string_view bytes) {
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += DIGITS[c >> 4];
    hex += DIGITS[c & 15];
  }
  return hex;
}

// Each record alone, and again inside longer texts so that its symbols also meet the vector
// kernels (which leave the last group of a text to the portable code): behind whole groups,
// and in front of them, where a record with padding can no longer be valid.
TEST(CodecVectors, EveryBase64RecordCodesAsRecordedOnEveryPath) {
  const auto records = read_records("base64.jsonl");
  ASSERT_GT(records.size(), 600u);
  std::string filler;
  for (int i = 0; i < 72; ++i) filler.push_back(static_cast<char>(i * 37 + 5));
  const std::string filler_text = base64_encode(filler);
  for (base64_paths::Path path : base64_paths::available_paths()) {
    test::PathGuard selected(path);
    SCOPED_TRACE(base64_paths::path_name(path));
    int valid = 0, invalid = 0;
    for (const JsonValue& record : records) {
      const std::string& text = record.find("text")->text;
      const JsonValue* hex = record.find("bytes_hex");
      auto decoded = base64_decode(text);
      if (hex) {
        ASSERT_TRUE(decoded.has_value()) << text;
        EXPECT_EQ(to_hex(*decoded), hex->text) << text;
        EXPECT_EQ(base64_encode(*decoded), text);
        ++valid;
      } else {
        EXPECT_FALSE(decoded.has_value()) << text;
        ++invalid;
      }
      for (std::size_t groups : {1u, 6u, 24u}) {
        std::string prefix_text = filler_text.substr(0, groups * 4);
        auto behind = base64_decode(prefix_text + text);
        ASSERT_EQ(behind.has_value(), hex != nullptr) << groups << " " << text;
        if (hex) {
          EXPECT_EQ(to_hex(*behind), to_hex(filler.substr(0, groups * 3)) + hex->text);
        }
      }
      auto in_front = base64_decode(text + filler_text);
      bool stays_valid = hex != nullptr && text.find('=') == std::string::npos;
      ASSERT_EQ(in_front.has_value(), stays_valid) << text;
      if (stays_valid) {
        EXPECT_EQ(to_hex(*in_front), hex->text + to_hex(filler));
      }
    }
    std::cout << base64_paths::path_name(path) << ": base64 records: " << valid << " canonical, "
              << invalid << " rejected\n";
  }
}

}  // namespace
}  // namespace velmora
