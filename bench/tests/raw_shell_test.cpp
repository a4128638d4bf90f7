#include "raw_shell.h"

#include <gtest/gtest.h>

#include <csignal>

#include "marker_scanner.h"
#include "terminal.h"

namespace velmora::bench {
namespace {

using namespace std::chrono_literals;

TEST(RawTerminal, RunsACommandAndEndsTheShellWithIt) {
  pid_t pid = -1;
  {
    auto shell = RawShell::start({"/bin/sh"}, 24, 80);
    ASSERT_TRUE(shell) << shell.error().text();
    pid = shell->pid();
    RawTerminal terminal(std::move(*shell));
    auto done = run_command(terminal, "echo OK$((1+1))", "OK2", Clock::now() + 10s);
    ASSERT_TRUE(done) << done.error().text();
  }
  // Reaped, not merely signalled: no such process any more.
  EXPECT_EQ(::kill(pid, 0), -1);
}

TEST(RawTerminal, ReadsNoMoreThanOnePseudoTerminalReadAtATime) {
  auto shell = RawShell::start({"/bin/sh"}, 24, 80);
  ASSERT_TRUE(shell) << shell.error().text();
  RawTerminal terminal(std::move(*shell));
  ASSERT_TRUE(
      terminal.input("i=0; while [ $i -lt 2000 ]; do echo 0123456789; i=$((i+1)); done; "
                     "echo FIN$((0))\r"));
  MarkerScanner scanner("FIN0");
  std::string chunk;
  while (!scanner.found()) {
    chunk.clear();
    auto got = terminal.read_some(chunk, Clock::now() + 10s);
    ASSERT_TRUE(got) << got.error().text();
    ASSERT_LE(chunk.size(), 8192u);
    scanner.feed(chunk);
  }
  EXPECT_GE(scanner.total(), 2000u * 12);
}

}  // namespace
}  // namespace velmora::bench
