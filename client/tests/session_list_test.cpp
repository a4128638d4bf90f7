#include "session_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "display_text.h"
#include "velmora/core/line_codec.h"

namespace velmora::client {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SessionList, AgesRoundDownToTheLargestWholeUnit) {
  EXPECT_EQ(format_age(0), "0s");
  EXPECT_EQ(format_age(59), "59s");
  EXPECT_EQ(format_age(60), "1m");
  EXPECT_EQ(format_age(3599), "59m");
  EXPECT_EQ(format_age(3600), "1h");
  EXPECT_EQ(format_age(86399), "23h");
  EXPECT_EQ(format_age(86400), "1d");
  EXPECT_EQ(format_age(10 * 86400 + 5), "10d");
}

SessionRow row(std::string key, std::string start_cwd, std::uint64_t started_at, std::uint32_t pid,
               std::optional<std::string> cwd = std::nullopt,
               std::optional<std::string> command = std::nullopt) {
  return SessionRow{SessionInfo{std::move(key), std::move(start_cwd), started_at, pid},
                    std::move(cwd), std::move(command)};
}

std::vector<SessionRow> sorted_rows(std::vector<SessionRow> rows) {
  std::vector<SessionInfo> infos;
  for (const SessionRow& r : rows) infos.push_back(r.info);
  std::vector<SessionRow> sorted;
  for (const SessionInfo& info : sorted_by_key(infos))
    for (const SessionRow& r : rows)
      if (r.info.key == info.key) sorted.push_back(r);
  return sorted;
}

TableLayout at(std::uint64_t now) {
  TableLayout layout;
  layout.now = now;
  return layout;
}

TEST(SessionList, TableIsSortedAndEveryColumnStartsAtTheSamePlace) {
  std::vector<SessionRow> rows = {
      row("work", "/home/u", 20000 - 16 * 60 - 59, 4242, "/home/u/projects/long/path", "vim x.txt"),
      row("a", "/", 19990, 7, "/", "-bash"),
      row("main", "/home/u", 20000 - 4 * 3600, 123456, "/srv", "sleep 30"),
  };
  std::string table = format_session_table(sorted_rows(rows), at(20000));
  auto lines = lines_of(table);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("KEY", 0), 0u);
  EXPECT_EQ(lines[1].rfind("a ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("main ", 0), 0u);
  EXPECT_EQ(lines[3].rfind("work ", 0), 0u);

  std::size_t pid = lines[0].find("PID");
  std::size_t age = lines[0].find("AGE");
  std::size_t cwd = lines[0].find("CWD");
  std::size_t command = lines[0].find("COMMAND");
  ASSERT_TRUE(pid < age && age < cwd && cwd < command) << lines[0];
  EXPECT_EQ(lines[1].find("7 "), pid);
  EXPECT_EQ(lines[2].find("123456"), pid);
  EXPECT_EQ(lines[1].find("10s"), age);
  EXPECT_EQ(lines[2].find("4h"), age);
  EXPECT_EQ(lines[3].find("16m"), age);
  // The live directory, not the starting one.
  EXPECT_EQ(lines[2].find("/srv"), cwd);
  EXPECT_EQ(lines[3].find("/home/u/projects/long/path"), cwd);
  EXPECT_EQ(lines[1].substr(command), "-bash");
  EXPECT_EQ(lines[2].substr(command), "sleep 30");
  EXPECT_EQ(lines[3].substr(command), "vim x.txt");
  EXPECT_EQ(table.back(), '\n');
}

TEST(SessionList, UnknownStateFallsBackToTheStartingDirectoryAndAQuestionMark) {
  auto lines = lines_of(format_session_table({row("k", "/started/here", 5, 0)}, at(10)));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find("/started/here"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[1].back(), '?');
}

TEST(SessionList, HostileTextCannotReachTheTerminalAndWideKeysStayAligned) {
  std::vector<SessionRow> rows = {
      row("\x1b]0;owned\x07", "/tmp", 5, 1, "/tmp/\x1b[2J", "printf \x1b[31m"),
      row("\xe6\x97\xa5\xe6\x9c\xac", "/tmp", 5, 22),  // two wide characters: four columns
      row("abcd", "/tmp", 9, 333),
  };
  std::string table = format_session_table(rows, at(10));
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_EQ(table.find('\x07'), std::string::npos);
  EXPECT_NE(table.find("\\x1b]0;owned\\x07"), std::string::npos);
  EXPECT_NE(table.find("/tmp/\\x1b[2J"), std::string::npos);
  EXPECT_NE(table.find("printf \\x1b[31m"), std::string::npos);
  auto lines = lines_of(table);
  ASSERT_EQ(lines.size(), 4u);
  std::size_t pid_column = display_width(lines[0].substr(0, lines[0].find("PID")));
  EXPECT_EQ(display_width(lines[2].substr(0, lines[2].find("22"))), pid_column);
  EXPECT_EQ(display_width(lines[3].substr(0, lines[3].find("333"))), pid_column);
}

TEST(SessionList, LongKeysStandAloneAndLongDirectoriesKeepTheirEnd) {
  std::string long_key(60, 'k');
  std::string deep = "/very/deep/directory/tree/that/goes/on/and/on/to/the/project";
  std::vector<SessionRow> rows = {
      row("a", "/", 5, 11, "/", "sh"),
      row(long_key, "/", 5, 22, deep, "make"),
      row("b", "/", 5, 33, "/", "sh"),
  };
  auto lines = lines_of(format_session_table(rows, at(10)));
  ASSERT_EQ(lines.size(), 5u);
  // The whole key, alone on its line; its row below it lines up with the others.
  EXPECT_EQ(lines[2], long_key);
  std::size_t pid = lines[0].find("PID");
  EXPECT_LT(pid, 10u) << "a long key widened the key column: " << lines[0];
  EXPECT_EQ(lines[1].find("11"), pid);
  EXPECT_EQ(lines[3].find("22"), pid);
  EXPECT_EQ(lines[4].find("33"), pid);
  EXPECT_EQ(lines[3].find_first_not_of(' '), pid);
  // The directory loses its beginning, and the command column stays where it is.
  std::size_t cwd = lines[0].find("CWD");
  std::size_t command = lines[0].find("COMMAND");
  EXPECT_EQ(lines[3].substr(cwd, 3), "...");
  EXPECT_NE(lines[3].find("/to/the/project"), std::string::npos) << lines[3];
  EXPECT_LE(command - cwd, CWD_COLUMN_LIMIT + 2);
  EXPECT_EQ(lines[3].substr(command), "make");
}

TEST(SessionList, TerminalWidthCutsLinesAndHomeIsAbbreviated) {
  TableLayout layout = at(10);
  layout.home = "/home/u";
  layout.width = 40;
  std::vector<SessionRow> rows = {
      row("a", "/", 5, 1, "/home/u/src", "cc -O2 -Wall -Wextra -o program program.c"),
      row("b", "/", 5, 2, "/home/u", "sh"),
      row("c", "/", 5, 3, "/home/user2", "sh"),
  };
  auto lines = lines_of(format_session_table(rows, layout));
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) EXPECT_LE(display_width(line), 40u) << line;
  EXPECT_NE(lines[1].find("~/src"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("cc -O2"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" ~ "), std::string::npos) << lines[2];
  // Only a whole directory name counts as the home directory.
  EXPECT_NE(lines[3].find("/home/user2"), std::string::npos) << lines[3];
}

TEST(SessionList, StartInTheFutureCountsAsJustStarted) {
  auto lines = lines_of(format_session_table({row("k", "/", 500, 1, "/", "sh")}, at(100)));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(" 0s "), std::string::npos) << lines[1];
}

// What `velmora ls --json` prints for a row.
std::string row_json(const SessionRow& row) {
  return encode_session_status(row.info, row.cwd, row.command);
}

TEST(SessionList, JsonRowsUseTheWireNamesAndEscapes) {
  EXPECT_EQ(row_json(row("a\"b\\c\n\x01", "/h\xc3\xa9", 1700000000, 99, "/now\xff", "vim")),
            "{\"key\":\"a\\\"b\\\\c\\n\\u0001\",\"pid\":99,\"startedAt\":1700000000,"
            "\"startCwd\":\"/h\xc3\xa9\",\"cwd\":\"/now\xef\xbf\xbd\",\"command\":\"vim\"}");
  EXPECT_EQ(row_json(row("k", "/", 1, 0)),
            "{\"key\":\"k\",\"pid\":0,\"startedAt\":1,\"startCwd\":\"/\",\"cwd\":null,"
            "\"command\":null}");
}

TEST(SessionList, LooksAtALiveShellAndNotAtPidZero) {
  SessionRow self =
      observe_session(SessionInfo{"me", "/", 1, static_cast<std::uint32_t>(::getpid())});
  char here[4096];
  ASSERT_NE(::getcwd(here, sizeof here), nullptr);
  EXPECT_EQ(self.cwd, std::optional<std::string>(here));
  SessionRow none = observe_session(SessionInfo{"gone", "/", 1, 0});
  EXPECT_EQ(none.cwd, std::nullopt);
  EXPECT_EQ(none.command, std::nullopt);
}

TEST(DisplayText, ClipsByColumnsWithoutSplittingCharacters) {
  EXPECT_EQ(clip_end("abcdef", 4), "abcd");
  EXPECT_EQ(clip_end("abc", 10), "abc");
  EXPECT_EQ(clip_end("a\xe6\x97\xa5"
                     "b",
                     2),
            "a");  // the wide character does not fit
  EXPECT_EQ(clip_start("/short", 10), "/short");
  EXPECT_EQ(clip_start("/a/long/path", 8), ".../path");
  EXPECT_EQ(clip_start("/ab\xe6\x97\xa5\xe6\x9c\xac", 5), "...\xe6\x9c\xac");
  EXPECT_EQ(clip_start("/ab\xe6\x97\xa5\xe6\x9c\xac", 4), "...");
  EXPECT_EQ(clip_start("/abcdef", 2), "..");
}

TEST(DisplayText, EscapesControlsAndBrokenBytesButKeepsText) {
  EXPECT_EQ(printable("plain caf\xc3\xa9"), "plain caf\xc3\xa9");
  EXPECT_EQ(printable("a\x1b[2Jb\x7f"), "a\\x1b[2Jb\\x7f");
  EXPECT_EQ(printable("\xc2\x9b"), "\\x9b");  // C1 control in UTF-8
  EXPECT_EQ(printable("\xff"), "\\xff");
  EXPECT_EQ(display_width("ab"), 2u);
  EXPECT_EQ(display_width("\xe6\x97\xa5"), 2u);
  EXPECT_EQ(display_width("e\xcc\x81"), 1u);  // e with a combining acute accent
}

}  // namespace
}  // namespace velmora::client
