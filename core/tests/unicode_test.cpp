#include "velmora/core/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace velmora {
namespace {

TEST(Unicode, AcceptsOnlyWellFormedUtf8) {
  for (const char* good : {"", "plain", "\u00e9", "\u0800", "\uffff", "\U00010000", "\U0010ffff",
                           "\xed\x9f\xbf" /* U+D7FF */, "\xee\x80\x80" /* U+E000 */}) {
    EXPECT_TRUE(is_valid_utf8(good)) << good;
  }
  for (const char* bad : {
           "\x80",              // continuation without a lead
           "\xc0\xaf",          // overlong slash
           "\xc1\xbf",          // overlong
           "\xe0\x9f\xbf",      // overlong three-byte form
           "\xed\xa0\x80",      // surrogate U+D800
           "\xf0\x8f\xbf\xbf",  // overlong four-byte form
           "\xf4\x90\x80\x80",  // above U+10FFFF
           "\xf5\x80\x80\x80",  // lead byte never used
           "\xe2\x82",          // cut short
           "a\xc3",             // cut short at the end
           "\xe2\x28\xa1",      // bad continuation
       }) {
    EXPECT_FALSE(is_valid_utf8(bad)) << static_cast<int>(static_cast<unsigned char>(bad[0]));
  }
}

TEST(Unicode, TrimsOnlyAtTheEnds) {
  EXPECT_EQ(trim_white_space("\u2028 a\u00a0b \u205f"), "a\u00a0b");
  EXPECT_EQ(trim_white_space("\u3000"), "");
  // A character whose bytes merely resemble white space stays.
  EXPECT_EQ(trim_white_space("\u2010"), "\u2010");
  EXPECT_EQ(trim_white_space("\u0100"), "\u0100");
  EXPECT_TRUE(is_blank(""));
  EXPECT_FALSE(is_blank(" x "));
}

TEST(LossyUtf8, ReplacesEachMaximalInvalidSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + r + "b"},
      {"\xC3", r},  // truncated at the end
      {"\xE2\x82"
       "x",
       r + "x"},                            // truncated sequence is one replacement
      {"\xC0\xAF", r + r},                  // overlong lead bytes are never valid
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\x80\x80", r + r},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(lossy_utf8(input), expected) << input;
}

}  // namespace
}  // namespace velmora
