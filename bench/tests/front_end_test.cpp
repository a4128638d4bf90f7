// The front ends that the benchmark drives on terminals of its own, with the real daemon and
// client where the build has them.

#include "front_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

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

#if defined(VELMORAD_PATH) && defined(VELMORA_PATH)
TEST(VelmoraClient, RunsCommandsAndDetachesLeavingTheSession) {
  auto workspace = Workspace::create();
  ASSERT_TRUE(workspace);
  Options options;
  options.daemon = VELMORAD_PATH;
  auto daemon = workspace->start_daemon(options, "d");
  ASSERT_TRUE(daemon) << daemon.error().text();
  {
    auto client = start_velmora_client(VELMORA_PATH, daemon->socket(), "kept");
    ASSERT_TRUE(client) << client.error().text();
    ASSERT_TRUE(wait_ready(*client));
    ASSERT_TRUE(run_command(*client, "echo MA$((0))RK", "MA0RK", Clock::now() + 10s));
    auto left = detach(*client, VELMORA_DETACH, Clock::now() + 10s);
    ASSERT_TRUE(left) << left.error().text();
  }
  // The shell lives on: attaching again resumes it.
  auto again = SessionTerminal::attach(daemon->socket(), "kept");
  ASSERT_TRUE(again) << again.error().text();
  EXPECT_TRUE(again->attached().resumed);
}
#endif

}  // namespace
}  // namespace velmora::bench
