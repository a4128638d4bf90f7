// The benchmark's client side against the real daemon.

#include <gtest/gtest.h>

#include "bench.h"
#include "terminal.h"
#include "velmora/core/base64.h"

namespace velmora::bench {
namespace {

using namespace std::chrono_literals;

class SessionTerminalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_workspace);
    Options options;
    options.daemon = VELMORAD_PATH;
    auto daemon = m_workspace->start_daemon(options, "d");
    ASSERT_TRUE(daemon) << daemon.error().text();
    m_daemon.emplace(std::move(*daemon));
  }

  Result<Workspace> m_workspace = Workspace::create();
  std::optional<DaemonProcess> m_daemon;
};

TEST_F(SessionTerminalTest, CreatesResumesAndSeesTheShellEnd) {
  auto first = SessionTerminal::attach(m_daemon->socket(), "s");
  ASSERT_TRUE(first) << first.error().text();
  EXPECT_FALSE(first->attached().resumed);
  EXPECT_GT(first->attached().pid, 0u);
  auto ran = run_command(*first, "echo HI$((6*7))", "HI42", Clock::now() + 10s);
  ASSERT_TRUE(ran) << ran.error().text();

  auto second = SessionTerminal::attach(m_daemon->socket(), "s");
  ASSERT_TRUE(second) << second.error().text();
  EXPECT_TRUE(second->attached().resumed);
  EXPECT_EQ(second->attached().pid, first->attached().pid);
  auto replay = base64_decode(second->attached().replay_base64);
  ASSERT_TRUE(replay);
  EXPECT_NE(replay->find("HI42"), std::string::npos);

  ASSERT_TRUE(second->input("exit\r"));
  std::string ignored;
  auto read = second->read_some(ignored, Clock::now() + 10s);
  while (read) read = second->read_some(ignored, Clock::now() + 10s);
  EXPECT_EQ(read.error().text(), "session s exited");
}

TEST_F(SessionTerminalTest, BulkOutputArrivesWhole) {
  auto session = SessionTerminal::attach(m_daemon->socket(), "bulk");
  ASSERT_TRUE(session) << session.error().text();
  auto file = m_workspace->text_file("f.txt", 1 << 20);
  ASSERT_TRUE(file);
  auto command = cat_command(*file);
  ASSERT_TRUE(session->input(command.line));
  MarkerScanner scanner(command.marker);
  auto done = read_until(*session, scanner, Clock::now() + 30s);
  ASSERT_TRUE(done) << done.error().text();
  // Every newline of the file comes back as carriage return and newline.
  EXPECT_GE(scanner.total(), (1u << 20) + (1u << 20) / 80);
}

}  // namespace
}  // namespace velmora::bench
