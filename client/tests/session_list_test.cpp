#include "session_list.h"

#include <gtest/gtest.h>

#include <sstream>

#include "display_text.h"
#include "json_text.h"

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

TEST(SessionList, TableIsSortedAndEveryColumnStartsAtTheSamePlace) {
  std::vector<SessionInfo> rows = {
      {"work", "/home/u/projects/long/path", 20000 - 16 * 60 - 59, 4242},
      {"a", "/", 19990, 7},
      {"main", "/home/u", 20000 - 4 * 3600, 123456},
  };
  std::string table = format_session_table(sorted_by_key(rows), 20000);
  auto lines = lines_of(table);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("KEY", 0), 0u);
  EXPECT_EQ(lines[1].rfind("a ", 0), 0u);
  EXPECT_EQ(lines[2].rfind("main ", 0), 0u);
  EXPECT_EQ(lines[3].rfind("work ", 0), 0u);

  std::size_t pid = lines[0].find("PID");
  std::size_t cwd = lines[0].find("CWD");
  std::size_t age = lines[0].find("AGE");
  EXPECT_EQ(lines[1].find("7 "), pid);
  EXPECT_EQ(lines[2].find("123456"), pid);
  EXPECT_EQ(lines[3].find("/home/u/projects"), cwd);
  EXPECT_EQ(lines[1].substr(age), "10s");
  EXPECT_EQ(lines[2].substr(age), "4h");
  EXPECT_EQ(lines[3].substr(age), "16m");
  EXPECT_EQ(table.back(), '\n');
}

TEST(SessionList, HostileKeysCannotReachTheTerminalAndWideOnesStayAligned) {
  std::vector<SessionInfo> rows = {
      {"\x1b]0;owned\x07", "/tmp", 5, 1},
      {"\xe6\x97\xa5\xe6\x9c\xac", "/tmp", 5, 22},  // two wide characters: four columns
      {"abcd", "/tmp", 9, 333},
  };
  std::string table = format_session_table(rows, 10);
  EXPECT_EQ(table.find('\x1b'), std::string::npos);
  EXPECT_EQ(table.find('\x07'), std::string::npos);
  EXPECT_NE(table.find("\\x1b]0;owned\\x07"), std::string::npos);
  auto lines = lines_of(table);
  ASSERT_EQ(lines.size(), 4u);
  std::size_t pid_column = display_width(lines[0].substr(0, lines[0].find("PID")));
  EXPECT_EQ(display_width(lines[2].substr(0, lines[2].find("22"))), pid_column);
  EXPECT_EQ(display_width(lines[3].substr(0, lines[3].find("333"))), pid_column);
}

TEST(SessionList, StartInTheFutureCountsAsJustStarted) {
  auto lines = lines_of(format_session_table({{"k", "/", 500, 1}}, 100));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 2), "0s");
}

TEST(SessionList, JsonRowsUseTheWireNamesAndEscapes) {
  EXPECT_EQ(session_info_json({"a\"b\\c\n\x01", "/h\xc3\xa9", 1700000000, 99}),
            "{\"key\":\"a\\\"b\\\\c\\n\\u0001\",\"cwd\":\"/h\xc3\xa9\",\"startedAt\":1700000000,"
            "\"pid\":99}");
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
