// The front ends that the benchmark drives on terminals of its own, with the real daemon and
// client where the build has them.

#include "front_end.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>

#include "bench.h"
#include "raw_shell.h"

namespace velmora::bench {
namespace {

using namespace std::chrono_literals;

TEST(Environment, SetsReplacesAndRemovesVariables) {
  ::setenv("VB_TEST_KEPT", "1", 1);
  ::setenv("VB_TEST_REPLACED", "old", 1);
  ::setenv("VB_TEST_REMOVED", "x", 1);
  ::setenv("VB_TEST_REMOVED_LONGER", "y", 1);
  auto env =
      environment_with({{"VB_TEST_REPLACED", "new"}, {"VB_TEST_ADDED", "2"}}, {"VB_TEST_REMOVED"});
  auto count = [&](const std::string& entry) { return std::count(env.begin(), env.end(), entry); };
  EXPECT_EQ(count("VB_TEST_KEPT=1"), 1);
  EXPECT_EQ(count("VB_TEST_REPLACED=new"), 1);
  EXPECT_EQ(count("VB_TEST_REPLACED=old"), 0);
  EXPECT_EQ(count("VB_TEST_ADDED=2"), 1);
  EXPECT_EQ(count("VB_TEST_REMOVED=x"), 0);
  // Only the variable of exactly that name goes.
  EXPECT_EQ(count("VB_TEST_REMOVED_LONGER=y"), 1);
}

TEST(RunProgram, GivesTheOutputAndFailsOnAFailedProgram) {
  auto printed = run_program({"/bin/sh", "-c", "echo out; echo err >&2"}, Clock::now() + 10s);
  ASSERT_TRUE(printed) << printed.error().text();
  EXPECT_EQ(*printed, "out\nerr\n");
  EXPECT_FALSE(run_program({"/bin/sh", "-c", "exit 3"}, Clock::now() + 10s));
  EXPECT_FALSE(run_program({"/bin/sh", "-c", "sleep 5"}, Clock::now() + 200ms));
}

// A program that leaves a process behind which keeps its output open, as a server does.
TEST(RunProgram, EndsWithTheProgramEvenWhenItsOutputStaysOpen) {
  auto start = Clock::now();
  auto printed = run_program({"/bin/sh", "-c", "sleep 3 & echo started"}, start + 10s);
  ASSERT_TRUE(printed) << printed.error().text();
  EXPECT_EQ(*printed, "started\n");
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(FindOnPath, FindsAShellAndNotAnInventedName) {
  EXPECT_FALSE(find_on_path("sh").empty());
  EXPECT_TRUE(find_on_path("no-such-program-velmora-bench").empty());
}

// The reattach measure's premise: a front end attached on a fresh terminal draws the last line
// that the session printed before it was left, after a full replay's worth of output.
void expect_redrawn(const std::function<Result<RawTerminal>()>& attach,
                    const std::function<Result<void>(RawTerminal&)>& leave,
                    const std::string& file) {
  {
    auto first = attach();
    ASSERT_TRUE(first) << first.error().text();
    ASSERT_TRUE(wait_ready(*first));
    auto filled =
        run_command(*first, "cat " + file + "; echo LA$((0))ST", "LA0ST", Clock::now() + 30s);
    ASSERT_TRUE(filled) << filled.error().text();
    auto left = leave(*first);
    ASSERT_TRUE(left) << left.error().text();
  }
  auto again = attach();
  ASSERT_TRUE(again) << again.error().text();
  MarkerScanner scanner("LA0ST");
  auto drawn = read_until(*again, scanner, Clock::now() + 10s);
  EXPECT_TRUE(drawn) << drawn.error().text();
  auto left = leave(*again);
  EXPECT_TRUE(left) << left.error().text();
}

#if defined(VELMORAD_PATH) && defined(VELMORA_PATH)
TEST(VelmoraClient, DetachesLeavingTheSessionAndRedrawsItsLastLineOnReattach) {
  auto workspace = Workspace::create();
  ASSERT_TRUE(workspace);
  Options options;
  options.daemon = VELMORAD_PATH;
  auto daemon = workspace->start_daemon(options, "d");
  ASSERT_TRUE(daemon) << daemon.error().text();
  auto file = workspace->text_file("replay.txt", 320 * 1024);
  ASSERT_TRUE(file);
  expect_redrawn(
      [&] { return start_velmora_client(VELMORA_PATH, daemon->socket(), "kept"); },
      [](RawTerminal& terminal) { return detach(terminal, VELMORA_DETACH, Clock::now() + 10s); },
      *file);
  // The shell lives on: attaching again resumes it.
  auto again = SessionTerminal::attach(daemon->socket(), "kept");
  ASSERT_TRUE(again) << again.error().text();
  EXPECT_TRUE(again->attached().resumed);
}
#endif

TEST(TmuxReference, AttachesDetachesAndRedrawsItsLastLineOnReattach) {
  std::string tmux = find_on_path("tmux");
  if (tmux.empty()) GTEST_SKIP() << "no tmux";
  auto workspace = Workspace::create();
  ASSERT_TRUE(workspace);
  pid_t server_pid = -1;
  {
    auto server = TmuxServer::start(tmux, workspace->file("tmux.sock"), "/bin/sh", "s");
    ASSERT_TRUE(server) << server.error().text();
    server_pid = server->pid();
    auto file = workspace->text_file("replay.txt", 64 * 1024);
    ASSERT_TRUE(file);
    expect_redrawn([&] { return server->attach("s"); },
                   [&](RawTerminal& terminal) -> Result<void> {
                     if (auto told = server->detach_clients("s"); !told) return told.error();
                     return wait_end(terminal, Clock::now() + 10s);
                   },
                   *file);
  }
  // The server went with the object.
  auto deadline = Clock::now() + 5s;
  while (::kill(server_pid, 0) == 0 && Clock::now() < deadline) ::usleep(10000);
  EXPECT_NE(::kill(server_pid, 0), 0);
}

}  // namespace
}  // namespace velmora::bench
