#include "seen_history.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "daemon_harness.h"

namespace velmora::client {
namespace {

std::string numbered_lines(int from, int to) {
  std::string out;
  for (int i = from; i <= to; ++i) out += "line " + std::to_string(i) + "\r\n";
  return out;
}

TEST(SeenPoint, FoundWhereTheShownOutputEndsWhateverCameAfter) {
  std::string shown = numbered_lines(1, 500);
  ShownTail tail;
  // Shown in pieces, more than the tail keeps.
  for (std::size_t at = 0; at < shown.size(); at += 700) tail.append(shown.substr(at, 700));
  EXPECT_EQ(tail.bytes(), std::string_view(shown).substr(shown.size() - ShownTail::KEEP));
  auto print = fingerprint_of(tail.bytes());
  ASSERT_TRUE(print);

  std::string later = numbered_lines(501, 600);
  // The replay is a later window: it lost its start and gained new output.
  std::string replay = shown.substr(3000) + later;
  EXPECT_EQ(find_seen(replay, *print), shown.size() - 3000);
  EXPECT_EQ(find_seen(shown, *print), shown.size());
  // Gone from the window altogether.
  EXPECT_EQ(find_seen(later, *print), std::nullopt);
  // The short window alone matches twice; the longer stretch tells the right place.
  std::string twice = shown + "\x1b[H\x1b[2J" + shown.substr(shown.size() - 300);
  EXPECT_EQ(find_seen(twice, *print), shown.size());
  EXPECT_EQ(fingerprint_of("tiny"), std::nullopt);
}

class SeenStoreTest : public ::testing::Test {
 protected:
  velmora::testing::TempDir m_dir;
  SeenStore m_store{m_dir.file("state/velmora/seen")};
  Fingerprint print_of(const std::string& text) { return *fingerprint_of(text); }
};

TEST_F(SeenStoreTest, RemembersPerTerminalAndSessionPrivately) {
  SeenRecord a{"/tmp/d.sock", "work", 100, "1:2:3", print_of(numbered_lines(1, 10)), 1000};
  SeenRecord b = a;
  b.terminal = "9:9:9";
  b.fingerprint = print_of(numbered_lines(5, 20));
  ASSERT_TRUE(m_store.remember(a));
  ASSERT_TRUE(m_store.remember(b));
  EXPECT_EQ(m_store.find("/tmp/d.sock", "work", 100, "1:2:3"), a.fingerprint);
  EXPECT_EQ(m_store.find("/tmp/d.sock", "work", 100, "9:9:9"), b.fingerprint);
  // Another shell under the same key is another session.
  EXPECT_EQ(m_store.find("/tmp/d.sock", "work", 101, "1:2:3"), std::nullopt);
  EXPECT_EQ(m_store.find("/tmp/other.sock", "work", 100, "1:2:3"), std::nullopt);

  // A newer point replaces the old one.
  a.fingerprint = print_of(numbered_lines(1, 30));
  ASSERT_TRUE(m_store.remember(a));
  EXPECT_EQ(m_store.find("/tmp/d.sock", "work", 100, "1:2:3"), a.fingerprint);

  struct stat file {
  }, dir{};
  ASSERT_EQ(::stat(m_store.path().c_str(), &file), 0);
  ASSERT_EQ(::stat(m_dir.file("state/velmora").c_str(), &dir), 0);
  EXPECT_EQ(file.st_mode & 0777, 0600u);
  EXPECT_EQ(dir.st_mode & 0777, 0700u);
  // Replaced by renaming: no temporary file stays behind.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(m_dir.file("state/velmora")))
    files += entry.path().filename().string().starts_with("seen.") &&
             entry.path().filename() != "seen.lock";
  EXPECT_EQ(files, 0);

  ASSERT_TRUE(m_store.forget("/tmp/d.sock", "work", 100));
  EXPECT_EQ(m_store.find("/tmp/d.sock", "work", 100, "9:9:9"), std::nullopt);
}

TEST_F(SeenStoreTest, KeepsTheNewestRecordsAndSurvivesAnyKeyAndGarbage) {
  for (int i = 0; i < 80; ++i) {
    SeenRecord r{"/s", "key\t\n" + std::to_string(i),      7,
                 "t",  print_of(numbered_lines(i, i + 9)), 1000 + i};
    ASSERT_TRUE(m_store.remember(r));
  }
  EXPECT_EQ(m_store.find("/s", "key\t\n79", 7, "t"), print_of(numbered_lines(79, 88)));
  EXPECT_EQ(m_store.find("/s", "key\t\n0", 7, "t"), std::nullopt);
  { std::ofstream(m_store.path(), std::ios::app) << "not a record\n\t\t\t\n"; }
  EXPECT_EQ(m_store.find("/s", "key\t\n79", 7, "t"), print_of(numbered_lines(79, 88)));
  // A file in another format is no file.
  std::ofstream(m_store.path()) << "something else\n";
  EXPECT_EQ(m_store.find("/s", "key\t\n79", 7, "t"), std::nullopt);
}

}  // namespace
}  // namespace velmora::client
