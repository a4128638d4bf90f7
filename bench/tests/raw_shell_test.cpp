#include "raw_shell.h"

#include <csignal>

#include <gtest/gtest.h>

#include "marker_scanner.h"
#include "platform.h"
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
  ASSERT_TRUE(terminal.input("i=0; while [ $i -lt 2000 ]; do echo 0123456789; i=$((i+1)); done; "
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

TEST(ProcessFigures, SeeThisProcessSpendTimeAndMemory) {
  auto cpu_before = process_cpu_seconds(::getpid());
  auto rss_before = process_rss_bytes(::getpid());
  ASSERT_TRUE(cpu_before && rss_before);
  std::string touched(64 << 20, 'x');
  volatile unsigned sink = 0;
  auto until = Clock::now() + 200ms;
  while (Clock::now() < until)
    for (char c : std::string_view(touched).substr(0, 4096)) sink = sink + static_cast<unsigned>(c);
  auto cpu_after = process_cpu_seconds(::getpid());
  auto rss_after = process_rss_bytes(::getpid());
  ASSERT_TRUE(cpu_after && rss_after);
  EXPECT_GE(*cpu_after - *cpu_before, 0.1);
  EXPECT_GE(*rss_after, *rss_before + (48u << 20));
}

}  // namespace
}  // namespace velmora::bench
