#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "bench.h"
#include "profiler.h"

namespace velmora::bench {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(Workspace, MakesTextFilesThatNoEndMarkerCanMatch) {
  std::string directory;
  {
    auto workspace = Workspace::create();
    ASSERT_TRUE(workspace);
    auto path = workspace->text_file("t.txt", 3 * 1024 * 1024 + 17);
    ASSERT_TRUE(path) << path.error().text();
    directory = std::filesystem::path(*path).parent_path();
    std::string text = read_all(*path);
    ASSERT_EQ(text.size(), 3u * 1024 * 1024 + 17);
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      char c = text[i];
      if (c == '\n') {
        ASSERT_EQ(i - line_start, 79u) << "line ending at " << i;
        line_start = i + 1;
        continue;
      }
      ASSERT_TRUE(c >= 0x20 && c < 0x7f) << "byte " << i;
      ASSERT_FALSE(c >= 'A' && c <= 'Z') << "byte " << i;
    }
    // Asking again for the same size reuses the file; another size remakes it.
    auto again = workspace->text_file("t.txt", 100);
    ASSERT_TRUE(again);
    EXPECT_EQ(read_all(*again).size(), 100u);
  }
  EXPECT_FALSE(std::filesystem::exists(directory));
}

TEST(Workspace, ReportsADaemonThatEndsAtStartUp) {
  auto workspace = Workspace::create();
  ASSERT_TRUE(workspace);
  Options options;
  options.daemon = "/bin/false";
  auto daemon = workspace->start_daemon(options, "d");
  ASSERT_FALSE(daemon);
  EXPECT_EQ(daemon.error().text(), "/bin/false ended at start-up");
}

TEST(Profiler, RunsBesideTheDaemonAndStopsWithSigint) {
  auto workspace = Workspace::create();
  ASSERT_TRUE(workspace);
  std::string out = workspace->file("profile");
  {
    Profiler profiler("trap 'echo {pid} {client} {client_daemon} > " + out +
                          "; exit 0' INT; while :; do sleep 0.05; done",
                      {4242, 77, 99});
  }
  EXPECT_EQ(read_all(out), "4242 77 99\n");
  // A command that names a process the measure does not have is not run at all.
  std::string skipped = workspace->file("skipped");
  { Profiler profiler("echo {client} > " + skipped, {4242}); }
  EXPECT_FALSE(std::filesystem::exists(skipped));
}

}  // namespace
}  // namespace velmora::bench
