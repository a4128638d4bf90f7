#include "visible_text.h"

#include <gtest/gtest.h>

#include <string>

namespace velmora::bench {
namespace {

std::string visible(std::string_view text, std::size_t chunk) {
  VisibleText filter;
  std::string out;
  for (std::size_t at = 0; at < text.size(); at += chunk) filter.feed(text.substr(at, chunk), out);
  return out;
}

TEST(VisibleText, KeepsWhatIsDrawnWhateverTheChunksAre) {
  // A redraw as a front end sends it: cursor hidden, moved, colours, a title, charset, shown.
  const std::string drawn =
      "\x1b[?25l\x1b[24;1H\x1b[1;31mab\x1b[0m\x1b]2;title\x07"
      "c\r\n\x1b(Bd\x1b]0;t\x1b\\e\x1b[?25h";
  for (std::size_t chunk : {1u, 2u, 3u, 7u, 100u})
    EXPECT_EQ(visible(drawn, chunk), "abcde") << chunk;
}

TEST(VisibleText, PassesPlainTextAndUtf8Unchanged) {
  EXPECT_EQ(visible("plain text, caf\xc3\xa9", 4), "plain text, caf\xc3\xa9");
}

}  // namespace
}  // namespace velmora::bench
