#include "velmora/core/terminal_modes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {
namespace {

std::string preamble_after(std::string_view output) {
  TerminalModeScanner scanner;
  scanner.feed(output);
  return scanner.modes().preamble();
}

TEST(TerminalModeScanner, EachModeGivesItsPreambleAndItsResetUndoesIt) {
  struct Case {
    std::string set;
    std::string reset;
    std::string preamble;
  };
  const std::vector<Case> cases = {
      {"\x1b[?1h", "\x1b[?1l", "\x1b[?1h"},
      {"\x1b[?7l", "\x1b[?7h", "\x1b[?7l"},
      {"\x1b[?25l", "\x1b[?25h", "\x1b[?25l"},
      {"\x1b[?47h", "\x1b[?47l", "\x1b[?47h"},
      {"\x1b[?1047h", "\x1b[?1047l", "\x1b[?1047h"},
      {"\x1b[?1049h", "\x1b[?1049l", "\x1b[?1049h"},
      {"\x1b[?1000h", "\x1b[?1000l", "\x1b[?1000h"},
      {"\x1b[?1002h", "\x1b[?1002l", "\x1b[?1002h"},
      {"\x1b[?1003h", "\x1b[?1003l", "\x1b[?1003h"},
      {"\x1b[?1004h", "\x1b[?1004l", "\x1b[?1004h"},
      {"\x1b[?1005h", "\x1b[?1005l", "\x1b[?1005h"},
      {"\x1b[?1006h", "\x1b[?1006l", "\x1b[?1006h"},
      {"\x1b[?1015h", "\x1b[?1015l", "\x1b[?1015h"},
      {"\x1b[?2004h", "\x1b[?2004l", "\x1b[?2004h"},
      {"\x1b=", "\x1b>", "\x1b="},
      {"\x1b[?66h", "\x1b[?66l", "\x1b="},
      // Leading zeros are read as the number they spell.
      {"\x1b[?02004h", "\x1b[?2004l", "\x1b[?2004h"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(preamble_after("text " + c.set + " more"), c.preamble) << c.preamble;
    EXPECT_EQ(preamble_after(c.set + c.reset), "") << c.preamble;
    EXPECT_EQ(preamble_after(c.set + c.reset + c.set), c.preamble) << c.preamble;
  }
  // Setting a mode that is at power-on already needs nothing.
  EXPECT_EQ(preamble_after("\x1b[?7h\x1b[?25h\x1b>\x1b[?1049l"), "");
}

TEST(TerminalModeScanner, ReadsSeveralParametersInOrder) {
  EXPECT_EQ(preamble_after("\x1b[?1049;1;2004;1000;1006h"),
            "\x1b[?1049h\x1b[?1h\x1b[?1000h\x1b[?1006h\x1b[?2004h");
  EXPECT_EQ(preamble_after("\x1b[?1049;1;2004h\x1b[?2004;1049l"), "\x1b[?1h");
  EXPECT_EQ(preamble_after("\x1b[?;2004;;h"), "\x1b[?2004h");
  // Unknown numbers between ours change nothing.
  EXPECT_EQ(preamble_after("\x1b[?12;2004;5000h"), "\x1b[?2004h");
  // Within one sequence, as across sequences, the last tracking mode and encoding win.
  EXPECT_EQ(preamble_after("\x1b[?1000;1003h"), "\x1b[?1003h");
  EXPECT_EQ(preamble_after("\x1b[?1006;1015h"), "\x1b[?1015h");
  EXPECT_EQ(preamble_after("\x1b[?1002h\x1b[?1000h"), "\x1b[?1000h");
}

TEST(TerminalModeScanner, SharedStatesBehaveAsInATerminal) {
  // One alternate screen, whichever mode switched to it.
  EXPECT_EQ(preamble_after("\x1b[?1049h\x1b[?47l"), "");
  EXPECT_EQ(preamble_after("\x1b[?1047h\x1b[?1049l"), "");
  EXPECT_EQ(preamble_after("\x1b[?47h\x1b[?1049h"), "\x1b[?47h");
  // Resetting any tracking mode ends tracking.
  EXPECT_EQ(preamble_after("\x1b[?1003h\x1b[?1000l"), "");
  EXPECT_EQ(preamble_after("\x1b[?1000h\x1b[?9h"), "\x1b[?9h");
  // An encoding is ended only by its own reset.
  EXPECT_EQ(preamble_after("\x1b[?1006h\x1b[?1015l"), "\x1b[?1006h");
  EXPECT_EQ(preamble_after("\x1b[?1006h\x1b[?1005h\x1b[?1006l"), "\x1b[?1005h");
  // A full reset returns to power-on.
  EXPECT_EQ(preamble_after("\x1b[?1049;2004;1;1000h\x1b=\033c"), "");
  EXPECT_EQ(preamble_after("\x1b[?1049h\033c\x1b[?2004h"), "\x1b[?2004h");
}

TEST(TerminalModeScanner, FindsSequencesSplitAnywhere) {
  const std::string output =
      "prompt$ \x1b[1;31mred\x1b[0m\x1b]0;title\x07\x1b[?1049h\x1b[?1;2004h\x1b="
      "\x1b[?1000h\x1b[?1006h\x1b[?25l\x1b[?2004l body";
  const std::string expected = preamble_after(output);
  ASSERT_EQ(expected, "\x1b[?1049h\x1b[?1h\x1b[?25l\x1b=\x1b[?1000h\x1b[?1006h");
  for (std::size_t cut = 0; cut <= output.size(); ++cut) {
    TerminalModeScanner scanner;
    scanner.feed(std::string_view(output).substr(0, cut));
    scanner.feed(std::string_view(output).substr(cut));
    ASSERT_EQ(scanner.modes().preamble(), expected) << "cut at " << cut;
  }
  TerminalModeScanner bytewise;
  for (char c : output) bytewise.feed(std::string_view(&c, 1));
  EXPECT_EQ(bytewise.modes().preamble(), expected);
}

// Whole sequences take a shortcut that bytes fed one at a time never take: both must agree on
// any input, however garbled.
TEST(TerminalModeScanner, ReadsGarbledOutputAlikeWholeAndByteByByte) {
  const std::string alphabet =
      std::string("\x1b\x1b\x1b[[??;;0124679hlm=>c]P\\ (\x07\x18\n\x7f") + "\xc3" + "\x90";
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::string output(random() % 40, '\0');
    for (char& c : output) c = alphabet[random() % alphabet.size()];
    TerminalModeScanner whole;
    whole.feed(output);
    TerminalModeScanner bytewise;
    for (char c : output) bytewise.feed(std::string_view(&c, 1));
    ASSERT_TRUE(whole.modes() == bytewise.modes()) << testing::PrintToString(output);
    ASSERT_EQ(whole.in_mode_sequence(), bytewise.in_mode_sequence());
    ASSERT_EQ(whole.between_sequences(), bytewise.between_sequences());
  }
}

TEST(TerminalModeScanner, LeavesUnrelatedSequencesAlone) {
  const std::vector<std::string> unrelated = {
      "\x1b[1h\x1b[4h\x1b[20h",      // standard modes, no marker
      "\x1b[2004h\x1b[1049h",        // our numbers without the marker
      "\x1b[>1h\x1b[>4;1m\x1b[>0q",  // private sequences with other markers
      "\x1b[<2004h\x1b[<u\x1b[=1;1u\x1b[=2004h",
      "\x1b[?2004$p\x1b[?1049s\x1b[?1049r",      // mode request, save, restore
      "\x1b[?1049 h\x1b[ ?2004h",                // intermediates
      "\x1b[?2004:1h\x1b[?1?2004h",              // sub-parameter, second marker
      "\x1b[?4294969300h\x1b[?99999999992004h",  // numbers that would wrap into ours
      "\x1b]0;?2004h [?1049h\x07",               // strings hold no sequences
      "\x1b]8;;http://x/?1049h\x1b\\link\x1b]8;;\x1b\\",
      "\x1bP1$r?2004h\x1b\\\x1b_G?1049h\x1b\\\x1b^?1h\x1b\\\x1bX?25l\x1b\\",
      "\x1b(=\x1b)>\x1b#8\x1b(B",        // designations, not the keypad
      "\x1b[?20\03004h\x1b[?10\03249h",  // cancelled by CAN and SUB
      "\x1b[?2004\xc3\xa9h",             // abandoned at a non-ASCII byte
      "\x1b[38;5;196m\x1b[2J\x1b[H\x1b[?6n\x1b[?u",
  };
  for (const auto& output : unrelated) {
    EXPECT_EQ(preamble_after(output), "") << output;
    // And the scanner is back on plain text afterwards.
    EXPECT_EQ(preamble_after(output + "\x1b[?1h"), "\x1b[?1h") << output;
  }
}

TEST(TerminalModeScanner, ReadsSequencesAsATerminalDoes) {
  // A control inside a sequence is executed and the sequence goes on.
  EXPECT_EQ(preamble_after("\x1b[?20\n04h"), "\x1b[?2004h");
  EXPECT_EQ(preamble_after("\x1b\r="), "\x1b=");
  // An ESC inside a sequence starts a new one, also inside a string.
  EXPECT_EQ(preamble_after("\x1b[?10\x1b[?2004h"), "\x1b[?2004h");
  EXPECT_EQ(preamble_after("\x1b]0;title\x1b[?2004h"), "\x1b[?2004h");
  EXPECT_EQ(preamble_after("\x1bPq#0;2;0\x1b[?1h\x1b\\"), "\x1b[?1h");
  // DEL is ignored inside a sequence.
  EXPECT_EQ(preamble_after("\x1b[?20\17704h"), "\x1b[?2004h");
}

// What a replay should begin with, found the slow way: a scan of the whole stream for every
// candidate start.
TerminalModeScanner scanned_to(const std::string& stream, std::size_t end) {
  TerminalModeScanner scanner;
  scanner.feed(std::string_view(stream).substr(0, end));
  return scanner;
}

ReplayStart expected_start(const std::string& stream, std::size_t window) {
  if (stream.size() <= window) return {{}, stream.size()};
  const std::size_t earliest = stream.size() - window;
  TerminalModeScanner settled = scanned_to(stream, earliest);
  for (std::size_t at = earliest; at < stream.size() && settled.in_mode_sequence(); ++at) {
    settled.feed(std::string_view(stream).substr(at, 1));
  }
  if (settled.modes().at_power_on()) return {{}, window};
  for (std::size_t start = earliest; start < stream.size(); ++start) {
    TerminalModeScanner scanner = scanned_to(stream, start);
    if (scanner.between_sequences() && start - earliest >= scanner.modes().preamble_size()) {
      return {scanner.modes().preamble(), stream.size() - start};
    }
  }
  return {{}, window};
}

// Feeds the stream in pieces and asks for the replay with the latest history_size() bytes given
// as a ring would hold them, wrapped at `wrap` bytes from their start.
ReplayStart tracked_start(const std::string& stream, std::size_t window, std::size_t interval,
                          std::size_t piece, std::size_t wrap = 0) {
  TerminalModeTracker tracker(window, interval);
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    tracker.feed(std::string_view(stream).substr(at, piece));
  }
  EXPECT_EQ(tracker.offset(), stream.size());
  std::size_t kept = std::min(stream.size(), tracker.history_size());
  std::string_view recent = std::string_view(stream).substr(stream.size() - kept);
  wrap = std::min(wrap, kept);
  return tracker.replay_start(recent.substr(0, wrap), recent.substr(wrap));
}

void expect_same(const ReplayStart& actual, const ReplayStart& expected) {
  EXPECT_EQ(actual.preamble, expected.preamble);
  EXPECT_EQ(actual.output_size, expected.output_size);
}

std::string text(std::size_t size) {
  std::string bytes;
  while (bytes.size() < size) bytes += "line of output 0123456789\r\n";
  bytes.resize(size);
  return bytes;
}

constexpr std::size_t WINDOW = 262144;

TEST(TerminalModeTracker, ReplaysTheExactTailWhenNoModeDiffers) {
  const std::string stream = "\x1b[31m" + text(300000) + "\x1b[?2004h";
  expect_same(tracked_start(stream, WINDOW, 4096, 8192), {{}, WINDOW});
  // A stream that fits whole has nothing before it.
  const std::string short_stream = "\x1b[?1049h" + text(1000);
  expect_same(tracked_start(short_stream, WINDOW, 4096, 8192), {{}, short_stream.size()});
}

TEST(TerminalModeTracker, RestoresModesSetLongBeforeTheWindow) {
  const std::string stream = "\x1b[?1049h\x1b[?2004h" + text(WINDOW * 3);
  const ReplayStart start = tracked_start(stream, WINDOW, 4096, 8192, 5000);
  EXPECT_EQ(start.preamble, "\x1b[?1049h\x1b[?2004h");
  EXPECT_EQ(start.output_size, WINDOW - start.preamble.size());
}

TEST(TerminalModeTracker, LeavesModesSetInsideTheWindowToTheReplay) {
  const std::string stream = text(WINDOW * 2) + "\x1b[?1049h\x1b[?2004h" + text(1000);
  expect_same(tracked_start(stream, WINDOW, 4096, 8192), {{}, WINDOW});
}

TEST(TerminalModeTracker, ForgetsModesSwitchedOffBeforeTheWindow) {
  const std::string stream =
      "\x1b[?1049h\x1b[?2004h" + text(50000) + "\x1b[?2004l\x1b[?1049l" + text(WINDOW + 10);
  expect_same(tracked_start(stream, WINDOW, 4096, 8192), {{}, WINDOW});
  // Switched off inside the window: still in force at its start.
  const std::string late_reset = "\x1b[?2004h" + text(WINDOW) + "\x1b[?2004l" + text(100);
  expect_same(tracked_start(late_reset, WINDOW, 4096, 8192), {"\x1b[?2004h", WINDOW - 8});
}

TEST(TerminalModeTracker, MovesTheStartUntilItsPreambleFits) {
  // At the plain tail's start only the alternate screen is on; a sequence in the next few bytes
  // must go into the preamble too once the start moves past it, which moves the start further.
  const std::string before = "\x1b[?1049h" + text(5000);
  const std::string window_start = "ab\x1b[?2004hcdefghijklmnopqrstuvwxyz";
  const std::string stream = before + window_start + text(1000 - window_start.size());
  const std::size_t window = stream.size() - before.size();
  const ReplayStart start = tracked_start(stream, window, 64, 100);
  EXPECT_EQ(start.preamble, "\x1b[?1049h\x1b[?2004h");
  EXPECT_EQ(start.output_size, window - 16);
  expect_same(start, expected_start(stream, window));

  // A reset right after the start can leave nothing to restore once the start has moved past
  // it; the replay is then a little short of the window, and has no preamble.
  const std::string shrinking =
      "\x1b[?1049h\x1b[?2004h" + text(5000) + "ab\x1b[?2004;1049l" + text(986);
  const ReplayStart smaller = tracked_start(shrinking, 1000, 64, 100);
  EXPECT_EQ(smaller.preamble, "");
  EXPECT_EQ(smaller.output_size, 986u);
  expect_same(smaller, expected_start(shrinking, 1000));
}

TEST(TerminalModeTracker, CountsASequenceCutByTheStartAsBeforeIt) {
  const std::string cut = "\x1b[?2004h";
  for (std::size_t inside = 1; inside < cut.size(); ++inside) {
    // The window's plain start falls `inside` bytes into the sequence; the replay starts after
    // it, without the fragment, far enough to fit the preamble.
    const std::string stream = text(3000) + cut + text(1000);
    const std::size_t window = stream.size() - 3000 - inside;
    const ReplayStart start = tracked_start(stream, window, 64, 100);
    EXPECT_EQ(start.preamble, "\x1b[?2004h") << inside;
    EXPECT_EQ(start.output_size, window - 8) << inside;
    expect_same(start, expected_start(stream, window));
  }
  // Cut inside a sequence that changes nothing: the exact tail, fragment and all.
  const std::string stream = text(3000) + "\x1b[1;31m" + text(1000);
  expect_same(tracked_start(stream, 1003, 64, 100), {{}, 1003});
}

TEST(TerminalModeTracker, FallsBackToThePlainTailWithoutEnoughHistory) {
  const std::string stream = "\x1b[?2004h" + text(5000);
  TerminalModeTracker tracker(1000, 64);
  tracker.feed(stream);
  // Only the window itself, not the bytes back to its checkpoint.
  expect_same(tracker.replay_start({}, std::string_view(stream).substr(stream.size() - 1000)),
              {{}, 1000});
  expect_same(tracker.replay_start({}, std::string_view(stream).substr(stream.size() - 1064)),
              {"\x1b[?2004h", 992});
}

TEST(TerminalModeTracker, AgreesWithAFullRescanOnRandomOutput) {
  const std::vector<std::string> pieces = {
      "\x1b[?1049h", "\x1b[?1049l", "\x1b[?2004h",  "\x1b[?2004l", "\x1b[?1;1000;1006h",
      "\x1b[?1000l", "\x1b[?25l",   "\x1b[?25h",    "\x1b=",       "\x1b>",
      "\033c",       "\x1b[1;31m",  "\x1b]0;t\x07", "\x1b[?2004",  "h",
      "\x1b[?",      "\x1b",        "plain",        "\r\n",        "\x1b[?1;2004;47;7l",
  };
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string stream;
    std::size_t length = 200 + random() % 3000;
    while (stream.size() < length) {
      stream += pieces[random() % pieces.size()];
      stream += text(random() % 40);
    }
    const std::size_t window = 100 + random() % 400;
    // Now and then an interval longer than the stream: no checkpoint is ever taken.
    const std::size_t interval = round % 10 == 9 ? 8192 : 1 + random() % 80;
    const std::size_t piece = 1 + random() % 300;
    const std::size_t wrap = random() % 600;
    SCOPED_TRACE(testing::Message() << "round " << round << " window " << window << " interval "
                                    << interval << " piece " << piece);
    const ReplayStart start = tracked_start(stream, window, interval, piece, wrap);
    expect_same(start, expected_start(stream, window));
    ASSERT_LE(start.preamble.size() + start.output_size, window);
  }
}

}  // namespace
}  // namespace velmora
