// Where a run of text ends: at the first C0 control or DEL, wherever it stands in the run (the
// search goes a block of bytes at a time), and never at a printable or non-ASCII byte.

#include "terminal_tokens.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::client {
namespace {

TEST(TokenReader, TextEndsAtTheFirstControlWhereverItStands) {
  const unsigned char controls[] = {0x00, 0x07, 0x0a, 0x1b, 0x1f, 0x7f};
  const unsigned char printable[] = {0x20, 0x7e, 0x80, 0x9f, 0xc2, 0xff};
  for (std::size_t length = 1; length <= 48; ++length) {
    for (std::size_t at = 1; at < length; ++at) {
      for (unsigned char byte : controls) {
        std::string bytes(length, 'a');
        bytes[at] = static_cast<char>(byte);
        TokenReader reader(bytes);
        Token token;
        ASSERT_TRUE(reader.next(token));
        EXPECT_EQ(token.kind, TokenKind::text);
        EXPECT_EQ(token.end, at) << "length " << length << " byte " << int(byte);
      }
      for (unsigned char byte : printable) {
        std::string bytes(length, 'a');
        bytes[at] = static_cast<char>(byte);
        TokenReader reader(bytes);
        Token token;
        ASSERT_TRUE(reader.next(token));
        EXPECT_EQ(token.end, length) << "at " << at << " byte " << int(byte);
        EXPECT_FALSE(reader.next(token));
      }
    }
  }
}

}  // namespace
}  // namespace velmora::client
