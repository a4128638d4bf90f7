#include <string>

#include <gtest/gtest.h>

#include "test_support.h"

namespace velmora::pty {
namespace {

using namespace test_support;

// Starts `/bin/sh -c script` on a new terminal and returns everything it writes until it ends.
struct ScriptRun {
  std::string output;
  pid_t pid = 0;
};

ScriptRun run_script(const std::string& script, CommandBuilder command = CommandBuilder("/bin/sh")) {
  PtyPair pair = open_pair();
  auto reader = pair.master->try_clone_reader();
  EXPECT_TRUE(reader) << reader.error().text();
  command.arg("-c");
  command.arg(script);
  auto child = pair.slave->spawn_command(std::move(command));
  EXPECT_TRUE(child) << child.error().text();
  if (!child || !reader) return {};
  pair.slave.reset();
  ScriptRun run;
  run.pid = static_cast<pid_t>(*(*child)->process_id());
  run.output = read_to_end(**reader);
  return run;
}

TEST(Spawn, RunsTheCommandOnTheTerminal) {
  ScriptRun run = run_script("echo hello; tty");
  EXPECT_NE(run.output.find("hello\r\n/dev/pts/"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace velmora::pty
