#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "test_support.h"
#include "unix_child.h"

namespace velmora::pty {
namespace {

using namespace test_support;

// Graces for the two outcomes of kill: one that no loaded machine outlasts for a program that
// exits on SIGHUP (the wait ends as soon as it has), and a short one for a program that ignores
// SIGHUP and must get SIGKILL anyway.
constexpr KillGrace LONG_GRACE{400, 50ms};
constexpr KillGrace SHORT_GRACE{2, 10ms};

// A shell on its own terminal that announces itself once its traps are set, then runs `then`.
struct Started {
  PtyPair pair;
  std::unique_ptr<PtyReader> reader;
  std::unique_ptr<Child> child;
  pid_t pid = 0;
};

Started start(const std::string& script, const std::string& then = "exec sleep 60") {
  Started started{open_pair(), nullptr, nullptr, 0};
  auto reader = started.pair.master->try_clone_reader();
  EXPECT_TRUE(reader);
  if (reader) started.reader = std::move(*reader);
  CommandBuilder command("/bin/sh");
  command.arg("-c");
  command.arg(script + "; echo ready; " + then);
  auto child = started.pair.slave->spawn_command(std::move(command));
  EXPECT_TRUE(child) << child.error().text();
  if (!child) return started;
  started.child = std::move(*child);
  started.pid = static_cast<pid_t>(*started.child->process_id());
  EXPECT_NE(read_until_contains(*started.reader, "ready").find("ready"), std::string::npos);
  return started;
}

UnixChild& unix_child(Started& started) { return dynamic_cast<UnixChild&>(*started.child); }

// The handle's wait status once the background reaper (or kill) has collected the process.
std::optional<int> collected_status(UnixChild& child, std::chrono::milliseconds timeout = 2s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!child.exit_status() && std::chrono::steady_clock::now() < deadline) ::usleep(2000);
  return child.exit_status();
}

bool is_collected_within(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (is_uncollected(pid)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    ::usleep(5000);
  }
  return true;
}

TEST(Child, KillEndsAProgramThatExitsOnHangupWithoutKill) {
  Started started = start("true");
  ASSERT_NE(started.pid, 0);
  unix_child(started).set_kill_grace(LONG_GRACE);
  ASSERT_TRUE(started.child->kill());
  // Collected by kill itself: no zombie, and the status says SIGHUP, not SIGKILL.
  EXPECT_FALSE(is_uncollected(started.pid));
  auto status = unix_child(started).exit_status();
  ASSERT_TRUE(status);
  ASSERT_TRUE(WIFSIGNALED(*status));
  EXPECT_EQ(WTERMSIG(*status), SIGHUP);
  EXPECT_EQ(started.child->process_id(), static_cast<std::uint32_t>(started.pid));
  // Once collected the pid may be reused: a second kill must send nothing, and succeed.
  EXPECT_TRUE(started.child->kill());
}

TEST(Child, KillFollowsUpWithKillSignalWhenHangupIsIgnored) {
  Started started = start("trap '' HUP");
  ASSERT_NE(started.pid, 0);
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(started.child->kill());
  const auto elapsed = std::chrono::steady_clock::now() - before;
  EXPECT_GE(elapsed, 200ms);  // five polls, 50 ms apart
  // kill does not wait after SIGKILL; the background reaper collects it.
  auto status = collected_status(unix_child(started));
  ASSERT_TRUE(status && WIFSIGNALED(*status));
  EXPECT_EQ(WTERMSIG(*status), SIGKILL);
  EXPECT_FALSE(is_uncollected(started.pid));
}

TEST(Child, KillWaitsOutTheWholeGraceBeforeKillSignal) {
  // Exits 0.3 s after SIGHUP, once the loop's current sleep has ended: longer than the default
  // grace, well within the long one.
  Started started = start("trap 'sleep 0.3; exit 7' HUP", "while :; do sleep 0.1; done");
  ASSERT_NE(started.pid, 0);
  unix_child(started).set_kill_grace(LONG_GRACE);
  ASSERT_TRUE(started.child->kill());
  auto status = unix_child(started).exit_status();
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 7);
}

TEST(Child, ExitedProgramIsCollectedWhileItsHandleIsHeld) {
  PtyPair pair = open_pair();
  CommandBuilder command("/bin/sh");
  command.arg("-c");
  command.arg("exit 3");
  auto child = pair.slave->spawn_command(std::move(command));
  ASSERT_TRUE(child);
  pid_t pid = static_cast<pid_t>(*(*child)->process_id());
  // The terminal stays open (this test holds the slave side), so nothing else would notice.
  auto status = collected_status(dynamic_cast<UnixChild&>(**child));
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_EQ(WEXITSTATUS(*status), 3);
  EXPECT_FALSE(is_uncollected(pid));
  // Killing it afterwards sends nothing to the pid, which may have been reused, and succeeds.
  EXPECT_TRUE((*child)->kill());
  EXPECT_EQ((*child)->process_id(), static_cast<std::uint32_t>(pid));
}

TEST(Child, TellsOfItsExitOnceItHasBeenCollected) {
  Started started = start("true");
  ASSERT_NE(started.pid, 0);
  std::atomic<int> notices{0};
  started.child->on_exit([&] { ++notices; });
  EXPECT_FALSE(has_exited(started.pid, 100ms));
  EXPECT_EQ(notices.load(), 0);
  // Ended from outside, as by the user: the background collection tells, with no kill involved.
  ASSERT_EQ(::kill(started.pid, SIGTERM), 0);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (notices.load() == 0 && std::chrono::steady_clock::now() < deadline) ::usleep(2000);
  EXPECT_EQ(notices.load(), 1);
  EXPECT_TRUE(unix_child(started).exit_status());
  // Asked once it has been collected, the notice runs at once; the first is not run again.
  std::atomic<bool> late{false};
  started.child->on_exit([&] { late = true; });
  EXPECT_TRUE(late.load());
  EXPECT_EQ(notices.load(), 1);
}

TEST(Child, ReleaseLeavesTheProgramRunningAndCollectsItOnceItEnds) {
  Started started = start("true");
  ASSERT_NE(started.pid, 0);
  const pid_t pid = started.pid;
  started.child.reset();
  // Not signalled: still running after the release.
  EXPECT_FALSE(has_exited(pid, 100ms));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  EXPECT_TRUE(is_collected_within(pid, 2s));
}

TEST(Child, KillAllRunsEverySequenceSideBySide) {
  std::vector<Started> hangup;
  std::vector<Started> stubborn;
  for (int i = 0; i < 4; ++i) {
    hangup.push_back(start("true"));
    stubborn.push_back(start("trap '' HUP"));
  }
  // Each child is given its own grace, side by side.
  std::vector<Child*> children;
  for (auto* group : {&hangup, &stubborn}) {
    for (Started& started : *group) {
      ASSERT_NE(started.pid, 0);
      unix_child(started).set_kill_grace(group == &hangup ? LONG_GRACE : SHORT_GRACE);
      children.push_back(started.child.get());
    }
  }
  children.push_back(nullptr);
  kill_all(children);
  for (Started& started : hangup) {
    auto status = unix_child(started).exit_status();
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGHUP);
  }
  for (Started& started : stubborn) {
    auto status = collected_status(unix_child(started));
    ASSERT_TRUE(status && WIFSIGNALED(*status));
    EXPECT_EQ(WTERMSIG(*status), SIGKILL);
  }
}

}  // namespace
}  // namespace velmora::pty
