// The redraw of a resumed session: the screen drawn from part of the replay is the one that
// reading all of it gives, and the drawn bytes rebuild that screen (and the scrollback) in
// another terminal.

#include "redraw.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "mode_tracker.h"
#include "screen_painter.h"

namespace velmora::client {
namespace {

constexpr int ROWS = 24;
constexpr int COLS = 80;
constexpr std::size_t FULL = 256 * 1024;

std::string text_of(const Row& row) {
  std::string out;
  for (const Cell& cell : row) {
    if (cell.width == 0) continue;
    if (cell.blank()) {
      out += ' ';
      continue;
    }
    for (char32_t c : cell.chars) {
      if (c == 0) break;
      append_utf8(c, out);
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string screen_text(const std::vector<Row>& rows) {
  std::string out;
  for (const Row& row : rows) out += text_of(row) + "\n";
  return out;
}

std::string describe(const Cell& c) {
  const CellStyle& s = c.style;
  return "U+" + std::to_string(c.chars[0]) + " w" + std::to_string(c.width) + " b" +
         std::to_string(s.bold) + " i" + std::to_string(s.italic) + " u" +
         std::to_string(s.underline) + " r" + std::to_string(s.reverse) + " fg" +
         std::to_string(int(s.fg.kind)) + ":" + std::to_string(s.fg.index) + " bg" +
         std::to_string(int(s.bg.kind)) + ":" + std::to_string(s.bg.index) + "/" +
         std::to_string(s.bg.red);
}

// The first cell that differs, for failure messages.
std::string first_difference(const std::vector<Row>& a, const std::vector<Row>& b) {
  for (std::size_t r = 0; r < a.size() && r < b.size(); ++r)
    for (std::size_t c = 0; c < a[r].size() && c < b[r].size(); ++c)
      if (!(a[r][c] == b[r][c]))
        return "row " + std::to_string(r) + " col " + std::to_string(c) + ": " + describe(a[r][c]) +
               " vs " + describe(b[r][c]);
  return "none";
}

// The same to the eye: a blank cell and a printed space look alike.
std::vector<Row> as_seen(std::vector<Row> rows) {
  for (Row& row : rows)
    for (Cell& cell : row)
      if (cell.chars[0] == U' ' && cell.chars[1] == 0) cell.chars[0] = 0;
  return rows;
}

// Every cell and the cursor of both screens are the same.
void expect_same_screens(const std::string& replay, const std::string& what) {
  auto full = replay_screens(replay, ROWS, COLS, Feed::full);
  auto part = replay_screens(replay, ROWS, COLS, Feed::shortest);
  ASSERT_TRUE(full && part);
  EXPECT_EQ(full->alternate, part->alternate) << what;
  EXPECT_EQ(screen_text(full->primary), screen_text(part->primary)) << what;
  EXPECT_TRUE(full->primary == part->primary)
      << what << ": " << first_difference(full->primary, part->primary);
  EXPECT_EQ(full->primary_cursor, part->primary_cursor) << what;
  if (full->alternate && part->alternate) {
    EXPECT_EQ(screen_text(full->alternate_rows), screen_text(part->alternate_rows)) << what;
    EXPECT_TRUE(full->alternate_rows == part->alternate_rows)
        << what << ": " << first_difference(full->alternate_rows, part->alternate_rows);
    EXPECT_EQ(full->alternate_cursor, part->alternate_cursor) << what;
  }
}

// Shell-like output: prompts, commands, listings, colours, until size bytes.
std::string shell_output(std::size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::string out;
  int n = 0;
  while (out.size() < size) {
    out += "\x1b[1;32muser@host\x1b[0m:\x1b[34m~/src\x1b[0m$ ls -l\r\n";
    int lines = static_cast<int>(random() % 30);
    for (int i = 0; i < lines; ++i) {
      out += "-rw-r--r-- 1 user user " + std::to_string(random() % 100000) + " Jan  1 ";
      if (random() % 3 == 0) out += "\x1b[01;31m";
      out += "file-" + std::to_string(++n) + ".txt\x1b[0m\r\n";
    }
  }
  return out;
}

TEST(ReplayScreens, PlainShellOutputNeedsOnlyItsTail) {
  std::string replay = shell_output(FULL);
  expect_same_screens(replay, "shell output");
  ReplayPlan plan = plan_replay(replay, ROWS, COLS);
  EXPECT_GT(plan.primary.from, replay.size() - 16 * 1024) << "the tail should be short";
  // Ending in the middle of a line, after a prompt.
  expect_same_screens(replay + "\x1b[1;32muser@host\x1b[0m$ ", "prompt");
}

TEST(ReplayScreens, ClearsResetsAndWrappedLines) {
  std::string base = shell_output(64 * 1024, 2);
  expect_same_screens(base + "$ clear\r\n\x1b[H\x1b[2J\x1b[3J$ ", "clear at the end");
  expect_same_screens(base + "\x1b[2J\x1b[Hline\r\nline2\r\n", "erase then home");
  expect_same_screens(base + "\x1b[H\x1b[J" + shell_output(2000, 3), "home then erase below");
  expect_same_screens(base +
                          "\x1b"
                          "c" +
                          shell_output(3000, 4),
                      "full reset");
  std::string wrapped;
  for (int i = 0; i < 400; ++i)
    wrapped += std::string(static_cast<std::size_t>(90 + i % 170), 'a' + i % 26) + "\r\n";
  expect_same_screens(base + wrapped, "long wrapped lines");
  expect_same_screens(base + wrapped + std::string(500, 'z'), "wrapping at the end");
  // Line feeds without carriage returns: the column never comes back.
  std::string bare;
  for (int i = 0; i < 200; ++i) bare += "col" + std::to_string(i) + "\n";
  expect_same_screens(base + bare, "bare line feeds");
}

TEST(ReplayScreens, ColoursAndWideCharactersCarryAcrossTheTail) {
  std::string replay = shell_output(32 * 1024, 5);
  // A colour set early stays in force over many lines, then 256 and direct colours.
  replay += "\x1b[1;4;38;5;208;48;2;10;20;30m";
  for (int i = 0; i < 100; ++i)
    replay += "漢字かな交じり " + std::to_string(i) + " 🙂 e\xcc\x81 \x1b[7mrev\x1b[27m\r\n";
  expect_same_screens(replay, "colour in force");
  replay += "\x1b[0m";
  for (int i = 0; i < 60; ++i)
    replay += "\x1b[38;2;" + std::to_string(i) + ";1;2mrgb " + "全角" + "\r\n";
  expect_same_screens(replay, "direct colour");
  // A wide character that does not fit at the end of a line wraps.
  expect_same_screens(replay + std::string(79, 'x') + "幅\r\n", "wide at the edge");
}

TEST(ReplayScreens, AlternateScreenAtTheEndAndInBetween) {
  std::string shell = shell_output(40 * 1024, 6);
  std::string editor = "\x1b[?1049h\x1b[22;0;0t\x1b[1;24r\x1b[?12h\x1b[?1h\x1b=\x1b[H\x1b[2J";
  for (int r = 1; r <= 24; ++r)
    editor += "\x1b[" + std::to_string(r) + ";1H\x1b[34m~\x1b[0m line " + std::to_string(r);
  std::string scrolling;
  for (int i = 0; i < 3000; ++i)
    scrolling += "\x1b[24;1H\r\n\x1b[23;1H\x1b[Kscrolled " + std::to_string(i);
  expect_same_screens(shell + editor + scrolling, "editor on at the end");
  expect_same_screens(shell + editor + scrolling + "\x1b[r\x1b[?1049l" + shell_output(3000, 7),
                      "editor left again");
  expect_same_screens(shell + editor + "\x1b[?1049l" + editor + "\x1b[5;5Hx", "entered twice");
  // The bare 47 switch, which libvterm alone does not know.
  expect_same_screens(shell + "\x1b[?47h\x1b[Hold screen\x1b[?47l$ ", "47 left");
  expect_same_screens(shell + "\x1b[?47h\x1b[H\x1b[2Jin 47", "47 on");
  // Only the preamble of a replay that started inside a full-screen program.
  expect_same_screens("\x1b[?1049h\x1b[?2004h" + scrolling, "preamble");
}

TEST(ReplayScreens, StateThatReachesBackIsRespected) {
  std::string shell = shell_output(20 * 1024, 8);
  // A cursor saved long ago and restored at the end.
  expect_same_screens(
      "\x1b[5;10H\x1b"
      "7" +
          shell +
          "\x1b"
          "8restored",
      "saved cursor");
  // A region of one row, and one that ends above its top (the whole screen again).
  expect_same_screens(shell + "\x1b[24r" + shell_output(3000, 12), "region of one row");
  expect_same_screens(shell + "\x1b[2;20r\x1b[9;3r" + shell_output(3000, 13), "region reset");
  expect_same_screens(shell + "\x1b[2;20r\x1b[2;0r" + shell_output(3000, 14), "bottom of 0");
  // Tab stops cleared on the normal screen, then a reset on the alternate one.
  expect_same_screens("\x1b[3g" + shell +
                          "\x1b[?47h\x1b"
                          "c\x1b[2J\x1b[H\tx",
                      "tabs after a reset");
  // A character printed before a clear, repeated after it.
  expect_same_screens(shell + "w\x1b[H\x1b[J\x1b[3b", "repeat after a clear");
  // Tab stops set before the tail.
  expect_same_screens("\x1b[3g\x1b[1;7H\x1bH\x1b[1;30H\x1bH\r\n" + shell + "a\tb\tc", "tab stops");
  // A scroll region left on by a progress display, output going on inside it.
  std::string progress = "\x1b[1;23r";
  for (int i = 0; i < 300; ++i)
    progress +=
        "\x1b"
        "7\x1b[24;1H\x1b[KProgress " +
        std::to_string(i) +
        "%\x1b"
        "8line " +
        std::to_string(i) + "\r\n";
  expect_same_screens(shell + progress, "scroll region");
  // Line-drawing characters and insert mode in force.
  expect_same_screens(shell + "\x1b(0" + shell_output(4000, 9) + "lqqk", "line drawing");
  expect_same_screens(shell + "\x1b[4h" + shell_output(4000, 9) + "\rins", "insert mode");
  expect_same_screens(shell + "\x1b[?7l" + std::string(200, 'w') + "\r\n" + shell_output(4000, 1),
                      "autowrap off");
}

TEST(ReplayScreens, ReplayStartingInsideASequenceOrCharacter) {
  std::string shell = shell_output(20 * 1024, 10);
  expect_same_screens("8;5;200mred\x1b[0m\r\n" + shell, "inside a sequence");
  expect_same_screens("\x81\x82tail of a character\r\n" + shell, "inside a character");
}

// Where the alternate screen was read from, when that was one of the plan's repaint starts.
std::optional<std::size_t> repainted_from(const std::string& replay) {
  ReplayPlan plan = plan_replay(replay, ROWS, COLS);
  auto part = replay_screens(replay, ROWS, COLS, Feed::shortest);
  if (!part) return std::nullopt;
  for (const ScreenFeed& repaint : plan.alternate_repaints)
    if (repaint.from == part->alternate_from) return part->alternate_from;
  return std::nullopt;
}

// A full-screen program that repaints rows in place, first..last of them, a few times over.
std::string repaint_rows(int first, int last, int times, const std::string& tag) {
  std::string out;
  for (int i = 0; i < times; ++i)
    for (int r = first; r <= last; ++r)
      out += "\x1b[" + std::to_string(r) + ";1H\x1b[K\x1b[3" + std::to_string(r % 8) + "m" + tag +
             " " + std::to_string(i) + " row " + std::to_string(r) + "\x1b[0m";
  return out;
}

TEST(ReplayScreens, AlternateScreenRepaintedInPlaceNeedsOnlyItsTail) {
  std::string start = shell_output(8 * 1024, 11) + "\x1b[?1049h\x1b[?2004h\x1b[H\x1b[2J";
  std::string editor = start + repaint_rows(1, ROWS, 200, "all");
  expect_same_screens(editor, "every row repainted");
  auto from = repainted_from(editor);
  ASSERT_TRUE(from.has_value()) << "a repaint of every row needs no more than itself";
  EXPECT_GT(*from, editor.size() - 64 * 1024);

  // A status row drawn once at the start and never again: everything after it must be read.
  std::string status =
      start + "\x1b[1;1H\x1b[7mstatus drawn once\x1b[0m" + repaint_rows(2, ROWS, 200, "rest");
  expect_same_screens(status, "one row drawn once");
  EXPECT_FALSE(repainted_from(status).has_value());

  // Scrolling inside a region brings rows drawn before the start into view.
  std::string region = start + repaint_rows(1, ROWS, 60, "all") + "\x1b[2;23r";
  for (int i = 0; i < 300; ++i)
    region +=
        "\x1b[23;1H\n\x1b[23;1Hscrolled " + std::to_string(i) + (i % 7 ? "" : "\x1b[2;1H\x1b[L");
  expect_same_screens(region, "scroll region");

  // What only a late start could get wrong: a repeat of the last character, a cursor saved long
  // before, protected cells that a selective erase keeps, double-width rows.
  // A cursor restored that was never saved.
  std::string never_saved = shell_output(8 * 1024, 12) + "\x1b[?47h" +
                            repaint_rows(1, ROWS, 200, "r") + "\x1b[?1048l\x1b[2Tx";
  expect_same_screens(never_saved, "restored, never saved");
  EXPECT_TRUE(repainted_from(never_saved).has_value());
  std::string repeat = editor + "\x1b[5;1H\x1b[b\x1b[3b";
  expect_same_screens(repeat, "repeat after a placement");
  expect_same_screens(start +
                          "\x1b[3;3H\x1b"
                          "7" +
                          repaint_rows(1, ROWS, 200, "saved") +
                          "\x1b"
                          "8restored",
                      "saved cursor");
  std::string guarded = start + "\x1b[1\"qguarded\x1b[0\"q" + repaint_rows(1, ROWS, 200, "g") +
                        "\x1b[?2J\x1b[1;1H\x1b[?2K";
  expect_same_screens(guarded, "protected cells");
  EXPECT_FALSE(repainted_from(guarded).has_value());
  std::string wide = start + "\x1b[4;1H\x1b#6" + repaint_rows(1, ROWS, 200, "w");
  expect_same_screens(wide, "double-width row");
  EXPECT_FALSE(repainted_from(wide).has_value());
}

// Random full-screen programs: placements, edits and scrolling on the alternate screen.
TEST(ReplayScreens, RandomRepaintsGiveTheSameScreen) {
  // Edits within a row, and what moves rows or the cursor across them.
  const std::vector<std::string> edits = {
      "\x1b[K",    "\x1b[1K", "\x1b[2K",    "\x1b[3X", "\x1b[3P",        "\x1b[2@",
      "\x1b[3C",   "\x1b[4b", "\x1b[31;1m", "\x1b[0m", "\x1b[48;5;17m",  "全角",
      "e\xcc\x81", "\t",      "\x1b[4h",    "\x1b[4l", "\x1b(0lqk\x1b(B"};
  const std::vector<std::string> moves = {"\x1b[J",
                                          "\x1b[1J",
                                          "\x1b[2L",
                                          "\x1b[M",
                                          "\x1b[S",
                                          "\x1b[2T",
                                          "\x1b[3;20r",
                                          "\x1b[r",
                                          "\x1b[2A",
                                          "\r\n",
                                          "\x1bM",
                                          "\x1b"
                                          "7",
                                          "\x1b"
                                          "8",
                                          "\x1b[?7l",
                                          "\x1b[?7h",
                                          "\x1b[?6h",
                                          "\x1b[?6l",
                                          std::string(90, 'W')};
  std::mt19937 random(7);
  int repainted = 0;
  const int rounds = 150;
  for (int round = 0; round < rounds; ++round) {
    std::string replay = shell_output(2000 + random() % 4000, round) + "\x1b[?1049h";
    std::size_t size = replay.size() + 8000 + random() % 40000;
    // In some rounds the top rows are drawn once in a while only, as a status line would be,
    // and nothing moves them.
    int rare = round % 3 == 0 ? 1 + static_cast<int>(random() % 3) : 0;
    while (replay.size() < size) {
      unsigned roll = random() % 10;
      if (roll < 5) {
        // A row drawn in place, as a program repaints.
        int row = 1 + static_cast<int>(random() % ROWS);
        if (row <= rare && random() % 50 != 0) continue;
        replay += "\x1b[" + std::to_string(row) + ";" + std::to_string(1 + random() % 3) + "H" +
                  "\x1b[K text " + std::to_string(random() % 1000);
      } else if (roll < 8) {
        replay += edits[random() % edits.size()];
      } else if (roll < 9 && rare == 0) {
        replay += moves[random() % moves.size()];
      } else {
        replay += "\x1b[" + std::to_string(1 + rare + random() % (ROWS - rare)) + ";" +
                  std::to_string(1 + random() % COLS) + "Hx";
      }
    }
    expect_same_screens(replay, "round " + std::to_string(round));
    if (HasFailure()) break;
    if (repainted_from(replay)) ++repainted;
  }
  // The starts must be taken often enough for this to test them.
  EXPECT_GT(repainted, rounds / 4);
}

// Random mixtures of what programs write, compared with a full read each time.
TEST(ReplayScreens, RandomOutputGivesTheSameScreen) {
  const std::vector<std::string> pieces = {"word ",
                                           "\r\n",
                                           "\r\n",
                                           "\r\n",
                                           "\n",
                                           "\r",
                                           "\x1b[K",
                                           "\x1b[2J",
                                           "\x1b[H",
                                           "\x1b[J",
                                           "\x1b[5;7H",
                                           "\x1b[A",
                                           "\x1b[3B",
                                           "\x1b[31m",
                                           "\x1b[0m",
                                           "\x1b[1;44m",
                                           "\x1b[?1049h",
                                           "\x1b[?1049l",
                                           "\x1b[?47h",
                                           "\x1b[?47l",
                                           "\x1b"
                                           "7",
                                           "\x1b"
                                           "8",
                                           "\x1b[2;20r",
                                           "\x1b[r",
                                           "\x1bM",
                                           "\x1b[L",
                                           "\x1b[2M",
                                           "\x1b[3P",
                                           "\x1b[4@",
                                           "\x1b[?7l",
                                           "\x1b[?7h",
                                           "\t",
                                           "\b",
                                           "全",
                                           "🙂",
                                           std::string(100, 'L'),
                                           "\x1b[?6h",
                                           "\x1b[?6l",
                                           "\x1b[S",
                                           "\x1b[T",
                                           "\x1b"
                                           "c",
                                           "\x1b(0q\x1b(B",
                                           "\x1b[4h",
                                           "\x1b[4l",
                                           "\x1bH",
                                           "\x1b[g",
                                           "\x1b[10G",
                                           "\x1b[?2004h",
                                           "\xc2\x9b"
                                           "3",
                                           "\xc2\x85"};
  std::mt19937 random(42);
  for (int round = 0; round < 300; ++round) {
    std::string replay;
    std::size_t size = 2000 + random() % 30000;
    // Mostly plain lines, so that anchors exist.
    while (replay.size() < size) {
      if (random() % 4 == 0) {
        replay += pieces[random() % pieces.size()];
      } else {
        replay += "line " + std::to_string(random() % 1000) + "\r\n";
      }
    }
    expect_same_screens(replay, "round " + std::to_string(round));
    if (HasFailure()) break;
  }
}

// Another terminal that reads the redraw: its screen, cursor and scrollback.
struct OuterTerminal {
  std::unique_ptr<ScreenModel> model;
  std::vector<std::string> scrollback;

  OuterTerminal() {
    auto made = ScreenModel::create(ROWS, COLS);
    EXPECT_TRUE(made);
    model = std::move(*made);
    model->on_scrolled_off([this](const Row& row) { scrollback.push_back(text_of(row)); });
  }
  void feed(std::string_view bytes) { model->feed(bytes); }
  std::vector<Row> screen() const {
    std::vector<Row> rows(ROWS);
    for (int r = 0; r < ROWS; ++r) model->read_row(r, rows[r]);
    return rows;
  }
};

std::vector<std::string> full_scrollback(const std::string& replay) {
  OuterTerminal reference;
  reference.feed(replay);
  return reference.scrollback;
}

DrawnReplay redraw_of(const std::string& replay, History history,
                      std::optional<std::size_t> seen = std::nullopt) {
  RedrawRequest request;
  request.replay = replay;
  request.rows = ROWS;
  request.cols = COLS;
  request.history = history;
  request.seen = seen;
  auto redraw = redraw_replay(request);
  EXPECT_TRUE(redraw);
  return redraw ? *redraw : DrawnReplay{};
}

TEST(Redraw, DrawsTheScreenWithStylesWideCharactersAndCursor) {
  std::string replay =
      shell_output(8 * 1024, 11) +
      "\x1b[1;3;4;9;38;5;100;48;2;5;6;7mstyled 漢字 🙂\x1b[0m plain \x1b[7m rev \x1b[0m"
      "\r\n\x1b[44m\x1b[Kblue line\x1b[0m\r\nprompt$ \x1b[?25l";
  DrawnReplay redraw = redraw_of(replay, History::skip);
  OuterTerminal outer;
  outer.feed("outer$ velmora attach work\r\n");
  outer.feed(redraw.bytes);
  auto expected = replay_screens(replay, ROWS, COLS, Feed::full);
  ASSERT_TRUE(expected);
  EXPECT_EQ(screen_text(outer.screen()), screen_text(expected->primary));
  EXPECT_TRUE(as_seen(outer.screen()) == as_seen(expected->primary))
      << first_difference(as_seen(outer.screen()), as_seen(expected->primary));
  EXPECT_EQ(outer.model->cursor(), expected->primary_cursor);
  EXPECT_FALSE(redraw.alternate);
  EXPECT_NE(redraw.bytes.find("\x1b[?25l"), std::string::npos) << "the cursor stays hidden";
  // The terminal's own line went up into its scrollback, not away.
  ASSERT_FALSE(outer.scrollback.empty());
  EXPECT_EQ(outer.scrollback.front(), "outer$ velmora attach work");
}

TEST(Redraw, AlternateScreenComesBackOverTheNormalOne) {
  std::string shell = shell_output(6 * 1024, 12) + "$ vi notes\r\n";
  std::string editor = "\x1b[?1049h\x1b[?2004h\x1b[?1000h\x1b[?1006h\x1b[H\x1b[2J";
  for (int r = 1; r <= 23; ++r) editor += "\x1b[" + std::to_string(r) + ";1H~ " + std::to_string(r);
  editor += "\x1b[24;1H\x1b[1m-- INSERT --\x1b[0m\x1b[3;5H";
  std::string replay = shell + editor;
  DrawnReplay redraw = redraw_of(replay, History::push);
  EXPECT_TRUE(redraw.alternate);
  OuterTerminal outer;
  outer.feed(redraw.bytes);
  auto expected = replay_screens(replay, ROWS, COLS, Feed::full);
  ASSERT_TRUE(expected && expected->alternate);
  EXPECT_TRUE(outer.model->alternate());
  EXPECT_EQ(screen_text(outer.screen()), screen_text(expected->alternate_rows));
  EXPECT_EQ(outer.model->cursor(), expected->alternate_cursor);
  for (std::string_view mode : {"\x1b[?2004h", "\x1b[?1000h", "\x1b[?1006h"})
    EXPECT_NE(redraw.bytes.find(mode), std::string::npos) << mode.substr(1);
  // When the editor leaves, the shell's screen is there, cursor where it was.
  outer.feed("\x1b[?1049l");
  OuterTerminal reference;
  reference.feed(replay + "\x1b[?1049l");
  EXPECT_EQ(screen_text(outer.screen()), screen_text(reference.screen()));
  EXPECT_EQ(outer.model->cursor(), reference.model->cursor());
}

TEST(Redraw, ScrollbackGetsEveryLineOnceAndNothingErasesIt) {
  std::string replay = shell_output(FULL, 13);
  // What would erase the terminal's scrollback or change its settings is not repeated.
  std::string hostile =
      "\x1b[3J\x1b]52;c;Y2xpcA==\x07\x1b]0;title\x07\x1b[5n\x1b[c\x07\xc2\x9b"
      "3J";
  replay.insert(1000, hostile);
  DrawnReplay redraw = redraw_of(replay, History::push);
  for (std::string_view bad : {"\x1b[3J", "\x1b]52", "\x1b[5n", "\x1b[c", "\xc2\x9b"})
    EXPECT_EQ(redraw.bytes.find(bad), std::string::npos) << bad.substr(1);

  OuterTerminal outer;
  outer.feed("outer line 1\r\nouter line 2\r\nouter$ velmora attach\r\n");
  outer.feed(redraw.bytes);
  // The line with the dropped control is one cell shorter.
  std::vector<std::string> expected = {"outer line 1", "outer line 2", "outer$ velmora attach"};
  for (const std::string& line : full_scrollback(replay))
    if (line.find("3J") == std::string::npos) expected.push_back(line);
  std::erase_if(outer.scrollback,
                [](const std::string& line) { return line.find("3J") != std::string::npos; });
  EXPECT_EQ(outer.scrollback, expected);
  auto screens = replay_screens(replay, ROWS, COLS, Feed::full);
  ASSERT_TRUE(screens);
  EXPECT_EQ(screen_text(outer.screen()), screen_text(screens->primary));
}

// Plain output of every shape (lines that wrap, line feeds without a return, coloured
// backgrounds that scrolled-in rows take on): the scrollback gets each row once and in order, and
// the screen is the one that reading everything gives.
TEST(Redraw, PlainOutputOfAnyShapeKeepsEveryRowOnce) {
  std::mt19937 random(31);
  for (int round = 0; round < 60; ++round) {
    std::string replay;
    std::size_t size = 3000 + random() % 40000;
    for (int line = 0; replay.size() < size; ++line) {
      if (random() % 8 == 0) replay += random() % 2 ? "\x1b[44m" : "\x1b[0m";
      std::size_t length = random() % 4 == 0 ? random() % 200 : random() % 60;
      for (std::size_t i = 0; i < length; ++i)
        replay.push_back(static_cast<char>('a' + (line + i) % 26));
      replay += random() % 6 == 0 ? "\n" : "\r\n";
    }
    DrawnReplay redraw = redraw_of(replay, History::push);
    OuterTerminal outer;
    outer.feed(redraw.bytes);
    ASSERT_EQ(outer.scrollback, full_scrollback(replay)) << "round " << round;
    auto screens = replay_screens(replay, ROWS, COLS, Feed::full);
    ASSERT_TRUE(screens);
    ASSERT_EQ(screen_text(outer.screen()), screen_text(screens->primary)) << "round " << round;
  }
}

TEST(Redraw, SeenLinesAreNotPushedAgain) {
  std::string before = shell_output(100 * 1024, 14);
  std::string after;
  for (int i = 0; i < 50; ++i) after += "new line " + std::to_string(i) + "\r\n";
  std::string replay = before + after;
  auto count_new = [](const std::vector<std::string>& lines) {
    int n = 0;
    for (const auto& line : lines) n += line.starts_with("new line ");
    return n;
  };
  auto count_old = [](const std::vector<std::string>& lines) {
    int n = 0;
    for (const auto& line : lines) n += line.find("file-") != std::string::npos;
    return n;
  };
  // A terminal that showed everything up to before: only the new lines that left the screen.
  {
    DrawnReplay redraw = redraw_of(replay, History::push, before.size());
    OuterTerminal outer;
    outer.feed(redraw.bytes);
    EXPECT_EQ(count_old(outer.scrollback), 0);
    EXPECT_EQ(count_new(outer.scrollback), 50 - (ROWS - 1));
  }
  // Seen everything: nothing but the screen.
  {
    DrawnReplay redraw = redraw_of(replay, History::push, replay.size());
    OuterTerminal outer;
    outer.feed(redraw.bytes);
    EXPECT_EQ(count_old(outer.scrollback) + count_new(outer.scrollback), 0);
  }
  // Seen long before the tail: the rest comes as history.
  {
    DrawnReplay redraw = redraw_of(replay, History::push, 50 * 1024);
    OuterTerminal outer;
    outer.feed(redraw.bytes);
    EXPECT_EQ(count_new(outer.scrollback), 50 - (ROWS - 1));
    EXPECT_GT(count_old(outer.scrollback), 500);
    EXPECT_LT(count_old(outer.scrollback), 3000);
  }
  // No history at all.
  {
    DrawnReplay redraw = redraw_of(replay, History::skip);
    OuterTerminal outer;
    outer.feed(redraw.bytes);
    EXPECT_EQ(count_old(outer.scrollback) + count_new(outer.scrollback), 0);
  }
}

// Output that plans, history and mode tracking must agree on: everything the history filters,
// the input modes, and controls inside sequences (which terminals execute where they stand).
std::string mixed_output(std::mt19937& random, std::size_t size, bool inner_controls = true) {
  static const std::vector<std::string> PIECES = {"\r\n",
                                                  "\r\n",
                                                  "\n",
                                                  "\r",
                                                  "\x1b[K",
                                                  "\x1b[2J",
                                                  "\x1b[3J",
                                                  "\x1b[H",
                                                  "\x1b[J",
                                                  "\x1b[5;7H",
                                                  "\x1b[31m",
                                                  "\x1b[0m",
                                                  "\x1b[1;44m",
                                                  "\x1b[?1049h",
                                                  "\x1b[?1049l",
                                                  "\x1b[?47h",
                                                  "\x1b[?47l",
                                                  "\x1b[?1047h",
                                                  "\x1b[?1047l",
                                                  "\x1b[?10\n49h",
                                                  "\x1b[?10\r49l",
                                                  "\x1b[?1049;6h",
                                                  "\x1b"
                                                  "7",
                                                  "\x1b"
                                                  "8",
                                                  "\x1b[2;20r",
                                                  "\x1b[r",
                                                  "\x1b[1r",
                                                  "\x1bM",
                                                  "\x1b[L",
                                                  "\x1b[?7l",
                                                  "\x1b[?7h",
                                                  "\x1b[?6h",
                                                  "\x1b[?6l",
                                                  "\x1b"
                                                  "c",
                                                  "\x1b\nc",
                                                  "\x1b(0q\x1b(B",
                                                  "\x1b)0",
                                                  "\x0e",
                                                  "\x0f",
                                                  "\x1b[4h",
                                                  "\x1b[20h",
                                                  "\x1b[4;20l",
                                                  "\x1bH",
                                                  "\x1b[g",
                                                  "\x1b[?2004h",
                                                  "\x1b[?2004l",
                                                  "\x1b[?1h",
                                                  "\x1b[?1l",
                                                  "\x1b=",
                                                  "\x1b>",
                                                  "\x1b[?25l",
                                                  "\x1b[?25h",
                                                  "\x1b[?1000h",
                                                  "\x1b[?1006h",
                                                  "\x1b[?1000;1006l",
                                                  "\x1b[?1004h",
                                                  "\x1b[?1004l",
                                                  "\x1b]0;title\x07",
                                                  "\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\",
                                                  "\x1b]52;c;eA==\x07",
                                                  "\x1b[5n",
                                                  "\x1b[!p",
                                                  "\x1b[1;2\n3H",
                                                  "\x1b[3\x18",
                                                  "\t",
                                                  "\b",
                                                  "\x07",
                                                  "全",
                                                  "\x1b#8",
                                                  "\x1b#6",
                                                  "\xc2\x9b"
                                                  "3",
                                                  "\xc2\x85"};
  std::string out;
  while (out.size() < size) {
    if (random() % 3 == 0) {
      const std::string& piece = PIECES[random() % PIECES.size()];
      if (!inner_controls && piece[0] == '\x1b' &&
          piece.find_first_of("\r\n\x18") != std::string::npos)
        continue;
      out += piece;
    } else {
      out += "line " + std::to_string(random() % 1000) + "\r\n";
    }
  }
  return out;
}

// The history that the plan writes in its read of the replay is the one that reading the
// replay again for it gives, from any point on.
TEST(ReplayHistory, PlannedHistoryIsTheSameAsReadingItAgain) {
  std::mt19937 random(7);
  int with_history = 0;
  for (int round = 0; round < 300; ++round) {
    std::string replay = mixed_output(random, 1000 + random() % 20000);
    std::size_t from = 0;
    if (round % 3 == 1) from = random() % replay.size();
    if (round % 3 == 2) from = random() % 200;
    std::string planned = "before";
    ReplayPlan plan = plan_replay(replay, ROWS, COLS, Feed::shortest, &planned, from);
    std::string again = "before";
    append_history(replay, from, plan.primary.from, plan, ROWS, again);
    ASSERT_EQ(planned, again) << "round " << round << " from " << from << " anchor "
                              << plan.primary.from;
    with_history += planned.size() > 6;
  }
  // Most rounds have history to compare.
  EXPECT_GT(with_history, 150);
}

// The input modes that the redraw switches on are the ones that following the whole replay
// leaves on.
TEST(ReplayHistory, InputModesAreTheOnesTheReplayLeavesOn) {
  std::mt19937 random(8);
  int with_modes = 0;
  for (int round = 0; round < 300; ++round) {
    // The tracker reads a control inside a sequence as its end, where terminals (and the plan)
    // execute it and go on with the sequence.
    std::string replay = mixed_output(random, 500 + random() % 5000, false);
    ModeTracker modes;
    modes.feed(replay);
    ReplayPlan plan = plan_replay(replay, ROWS, COLS);
    ASSERT_EQ(plan.input_modes, modes.restore_sequence()) << "round " << round;
    with_modes += !plan.input_modes.empty();
  }
  EXPECT_GT(with_modes, 100);
}

// The client follows the modes around the history, which must leave none of them on.
TEST(ReplayHistory, HistoryLeavesEveryModeAtItsDefault) {
  std::mt19937 random(9);
  int with_history = 0;
  for (int round = 0; round < 100; ++round) {
    std::string replay = mixed_output(random, 4000 + random() % 8000);
    // Origin mode on, then a reset: the history's terminal is not reset, but its origin mode
    // goes off too.
    if (round % 2 == 0)
      replay.insert(0,
                    "\x1b[3;20r\x1b[?6hin the region\r\n\x1b"
                    "c");
    replay += shell_output(4 * 1024, round);
    DrawnReplay redraw = redraw_of(replay, History::push);
    // A replay that ends on the alternate screen may have no anchor for the normal one.
    if (redraw.history_begin == redraw.history_end) continue;
    ++with_history;
    std::string_view history =
        std::string_view(redraw.bytes)
            .substr(redraw.history_begin, redraw.history_end - redraw.history_begin);
    ModeTracker modes;
    modes.feed(history);
    std::string reset = modes.reset_sequence();
    // The tracker takes a region from the first row to the default bottom for one.
    if (history.find("\x1b[1r") != std::string_view::npos && reset ==
                                                                 "\x1b"
                                                                 "7\x1b[r\x1b"
                                                                 "8")
      reset.clear();
    ASSERT_EQ(reset, "") << "round " << round;
  }
  EXPECT_GT(with_history, 50);
  DrawnReplay none = redraw_of(shell_output(8 * 1024, 3), History::skip);
  EXPECT_EQ(none.history_begin, none.history_end);
}

// A C1 control written as UTF-8 at the left margin in insert mode crashed the emulator; they are
// dropped, also when a feed ends between their two bytes, and other characters that begin with
// the same byte are kept.
TEST(ScreenModelFeed, DropsC1ControlsWrittenAsUtf8) {
  const auto first_row = [](std::initializer_list<std::string_view> feeds) {
    auto made = ScreenModel::create(ROWS, COLS);
    EXPECT_TRUE(made);
    if (!made) return std::string();
    for (std::string_view bytes : feeds) (*made)->feed(bytes);
    Row row;
    (*made)->read_row(0, row);
    std::string text = text_of(row);
    return text;
  };
  EXPECT_EQ(first_row({"\x1b[4h\xc2\x9b"
                       "3"}),
            "3");
  EXPECT_EQ(first_row({"\x1b[4h\xc2\x85x", "\xc2\x80y"}), "xy");
  EXPECT_EQ(first_row({"\x1b[4ha\xc2",
                       "\x9f"
                       "b"}),
            "ab");
  EXPECT_EQ(first_row({"\xc2",
                       "\xa0"
                       "z\xc3",
                       "\xa9"}),
            "\xc2\xa0z\xc3\xa9");
}

// libvterm alone loops for ever on a repeat before any character and writes past the row on a
// wide character repeated to the margin; a repeat is the last character printed again instead.
// Inputs on which libvterm alone crashed: each is read to the end.
TEST(ScreenModelFeed, InputsThatCrashedTheEmulatorAreRead) {
  struct Crash {
    int rows, cols;
    std::string_view bytes;
    CursorPosition cursor;
  };
  const Crash crashes[] = {
      {17,
       28,
       "\x1b(0\xc2\x1b[;26f\x1b[4h*aa\x94"
       "3",
       {1, 1}},
      {23, 73, "\xc2\x17\x8d\x1b[4h\x1b[2b", {0, 0}},
      {22, 57, "\x1b[4h\xc2\x18\x88T", {0, 1}},
  };
  for (const Crash& crash : crashes) {
    auto made = ScreenModel::create(crash.rows, crash.cols);
    ASSERT_TRUE(made);
    (*made)->feed(crash.bytes);
    EXPECT_EQ((*made)->cursor(), crash.cursor);
  }
  // A wide character on a screen of one column: no emulator, and the redraw says so.
  EXPECT_FALSE(ScreenModel::create(24, 1));
  RedrawRequest request;
  request.replay = "全";
  request.rows = 24;
  request.cols = 1;
  EXPECT_FALSE(redraw_replay(request));
}

TEST(ScreenModelFeed, RepeatsTheLastCharacterWithoutHangingOrCrashing) {
  const auto rows_of = [](std::initializer_list<std::string_view> feeds) {
    auto made = ScreenModel::create(ROWS, COLS);
    EXPECT_TRUE(made);
    if (!made) return std::string();
    for (std::string_view bytes : feeds) (*made)->feed(bytes);
    std::string text;
    for (int r = 0; r < 2; ++r) {
      Row row;
      (*made)->read_row(r, row);
      text += text_of(row) + "|";
    }
    return text;
  };
  EXPECT_EQ(rows_of({"\x1b[5b"}), "||");
  EXPECT_EQ(rows_of({"\xcc\x81\x1b[3b"}), "\xcc\x81\xcc\x81\xcc\x81\xcc\x81||");
  EXPECT_EQ(rows_of({"ab\x1b[3b"}), "abbbb||");
  EXPECT_EQ(rows_of({"ab\x1b[", "3", "bc"}), "abbbbc||") << "split across feeds";
  EXPECT_EQ(rows_of({"ab\x1b[\n3b"}), "ab|  bbb|") << "a control inside the sequence";
  EXPECT_EQ(rows_of({"a\x1b([3b"}), "aaaa||") << "an intermediate before the bracket";
  EXPECT_EQ(rows_of({"a\x1b]0;\x1b[2b"}), "aaa||") << "an escape ends the string";
  EXPECT_EQ(rows_of({"e\xcc\x81\x1b[2b"}),
            "e\xcc\x81"
            "e\xcc\x81"
            "e\xcc\x81||");
  EXPECT_EQ(rows_of({"\x1b[1;76Hx全\x1b[5b"}), std::string(75, ' ') + "x全全|全全全全|");
  EXPECT_EQ(rows_of({"a\x1b[0b\x1b[b"}), "aaa||");
  // A C1 control that libvterm would make of a character begun before a sequence.
  EXPECT_EQ(rows_of({"ab\x1b[4h\xc2\x1b[1;1H\x94x"}), "xab||");
  // Not repeats: private, with an intermediate, after a string, or given up at CAN.
  EXPECT_EQ(rows_of({"a\x1b[?3b\x1b[3 b"}), "a||");
  EXPECT_EQ(rows_of({"a\x1b]0;t\x07"
                     "3b"}),
            "a3b||");
  EXPECT_EQ(rows_of({"a\x1b[3\x18"
                     "b"}),
            "ab||");
}

}  // namespace
}  // namespace velmora::client
