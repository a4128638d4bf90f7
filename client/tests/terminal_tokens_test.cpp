// Where a run of text ends: at the first C0 control or DEL, wherever it stands in the run (the
// search goes a block of bytes at a time), and never at a printable or non-ASCII byte.

#include "terminal_tokens.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::client {
namespace {

TEST(TokenReader, TextEndsAtTheFirstControlWhereverItStands) {
  struct Case {
    unsigned char byte;
    bool ends_text;
  };
  const Case cases[] = {{0x00, true},  {0x07, true},  {0x0a, true},  {0x1b, true},
                        {0x1f, true},  {0x7f, true},  {0x20, false}, {0x7e, false},
                        {0x80, false}, {0x9f, false}, {0xc2, false}, {0xff, false}};
  for (std::size_t length = 1; length <= 48; ++length) {
    for (std::size_t at = 1; at < length; ++at) {
      for (const Case& c : cases) {
        std::string bytes(length, 'a');
        bytes[at] = static_cast<char>(c.byte);
        TokenReader reader(bytes);
        Token token;
        ASSERT_TRUE(reader.next(token));
        EXPECT_EQ(token.kind, TokenKind::text);
        EXPECT_EQ(token.end, c.ends_text ? at : length)
            << "length " << length << " at " << at << " byte " << int(c.byte);
      }
    }
  }
}

}  // namespace
}  // namespace velmora::client
