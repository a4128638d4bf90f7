#include "mode_tracker.h"

#include <gtest/gtest.h>

namespace velmora::client {
namespace {

std::string reset_after(std::initializer_list<std::string_view> chunks) {
  ModeTracker tracker;
  for (auto chunk : chunks) tracker.feed(chunk);
  return tracker.reset_sequence();
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(ModeTracker, PlainOutputAndUndoneModesNeedNoReset) {
  EXPECT_EQ(reset_after({"hello\r\n$ ls\r\n"}), "");
  EXPECT_EQ(reset_after({"\x1b[?1049h\x1b[?25l", "text", "\x1b[?25h\x1b[?1049l"}), "");
  EXPECT_EQ(reset_after({"\x1b[1;31mred\x1b[m"}), "");
  EXPECT_EQ(reset_after({"\x1b[2J\x1b[H\x1b[K"}), "");
}

TEST(ModeTracker, PagerLeftRunningIsUndone) {
  // What a pager typically switches on when it starts.
  std::string reset =
      reset_after({"\x1b[?1049h\x1b[22;0;0t\x1b[?1h\x1b=\r", "\x1b[7mpage\x1b[27m"});
  EXPECT_TRUE(contains(reset, "\x1b[?1049l"));
  EXPECT_TRUE(contains(reset, "\x1b[?1l"));
  EXPECT_TRUE(contains(reset, "\x1b>"));
  // The alternate screen is left after everything that applies to it has been reset.
  EXPECT_GT(reset.find("\x1b[?1049l"), reset.find("\x1b[?1l"));
}

TEST(ModeTracker, SequencesSplitAcrossReadsAreFollowed) {
  std::string reset = reset_after({"abc\x1b", "[?10", "00;1006", "h", "more"});
  EXPECT_TRUE(contains(reset, "\x1b[?1000l"));
  EXPECT_TRUE(contains(reset, "\x1b[?1006l"));
  EXPECT_EQ(reset_after({"\x1b[?1000;1006h", "\x1b[?1006;1000l"}), "");
}

TEST(ModeTracker, EditorModesAreAllRestored) {
  std::string reset =
      reset_after({"\x1b[?2004h\x1b[?1004h\x1b[?25l\x1b[?7l\x1b[1;20r\x1b[?47h\x1b[4m"});
  for (std::string_view part :
       {"\x1b[?2004l", "\x1b[?1004l", "\x1b[?25h", "\x1b[?7h", "\x1b[r", "\x1b[?47l", "\x1b[0m"})
    EXPECT_TRUE(contains(reset, part)) << part.substr(1);
}

TEST(ModeTracker, FullResetForgetsEverything) {
  EXPECT_EQ(reset_after({"\x1b[?1049h\x1b[?2004h", "\x1b", "c"}), "");
}

TEST(ModeTracker, ForeignSequencesDoNotConfuseIt) {
  // An OSC title with a '?' and an 'h' inside, and a CSI with intermediates.
  EXPECT_EQ(reset_after({"\x1b]0;why?h\x07", "\x1b[0 q", "\x1b[>4;1m"}), "");
  EXPECT_TRUE(contains(reset_after({"\x1b]0;t\x07\x1b[?2004h"}), "\x1b[?2004l"));
}

TEST(ModeTracker, RestoresTheInputModesInForce) {
  ModeTracker tracker;
  tracker.feed("\x1b[?1002h\x1b[?1006h\x1b[?2004h\x1b[?1h\x1b=\x1b[?25l\x1b[?1004h");
  std::string restore = tracker.restore_sequence();
  for (std::string_view part : {"\x1b[?1002h", "\x1b[?1006h", "\x1b[?2004h", "\x1b[?1h",
                                "\x1b=", "\x1b[?25l", "\x1b[?1004h"})
    EXPECT_TRUE(contains(restore, part)) << part.substr(1);
  // Tracking before encoding.
  EXPECT_LT(restore.find("\x1b[?1002h"), restore.find("\x1b[?1006h"));
  EXPECT_EQ(ModeTracker().restore_sequence(), "");
}

TEST(ModeTracker, ResetKeepsTheCursorAndUndoesCharacterSetsAndInsertMode) {
  std::string reset = reset_after({"\x1b[2;20r\x1b(0\x0e\x1b[4h"});
  // Resetting the region alone would send the cursor home.
  EXPECT_TRUE(contains(reset,
                       "\x1b"
                       "7\x1b[r\x1b"
                       "8"));
  EXPECT_TRUE(contains(reset, "\x1b(B"));
  EXPECT_TRUE(contains(reset, "\x0f"));
  EXPECT_TRUE(contains(reset, "\x1b[4l"));
}

TEST(ModeTracker, KnowsWhenTheCursorStartsAnEmptyLine) {
  auto at_start = [](std::initializer_list<std::string_view> chunks) {
    ModeTracker tracker;
    for (auto chunk : chunks) tracker.feed(chunk);
    return tracker.at_line_start();
  };
  EXPECT_TRUE(at_start({}));
  EXPECT_TRUE(at_start({"done\r\n"}));
  EXPECT_TRUE(at_start({"done\r\n\x1b[?2004l\r"}));
  EXPECT_FALSE(at_start({"$ "}));
  EXPECT_FALSE(at_start({"line\r\n\x1b[5;1H"}));
  // Leaving the 1049 screen puts the cursor back where it was.
  EXPECT_TRUE(at_start({"$ vi\r\n", "\x1b[?1049h\x1b[5;5Hedit", "\x1b[?1049l"}));
  EXPECT_FALSE(at_start({"$ ", "\x1b[?1049h\r\n", "\x1b[?1049l"}));
}

}  // namespace
}  // namespace velmora::client
