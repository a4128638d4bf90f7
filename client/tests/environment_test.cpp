#include <gtest/gtest.h>

#include "attach_loop.h"

namespace velmora::client {
namespace {

TEST(TerminalEnvironment, TakesTerminalAndLocaleVariablesOnlyInOrder) {
  const char* envp[] = {"PATH=/bin",
                        "LC_ALL=C.UTF-8",
                        "TERM=xterm-256color",
                        "LCX=no",
                        "LANG=de_DE.UTF-8",
                        "COLORTERM=truecolor",
                        "TERMINFO=/x",
                        "LC_TIME=bad\xff",
                        "noequals",
                        "LC_=empty-name-ok",
                        nullptr};
  std::vector<EnvPair> expected = {{"LC_ALL", "C.UTF-8"},
                                   {"TERM", "xterm-256color"},
                                   {"LANG", "de_DE.UTF-8"},
                                   {"COLORTERM", "truecolor"},
                                   {"LC_", "empty-name-ok"}};
  EXPECT_EQ(terminal_environment(envp), expected);
}

}  // namespace
}  // namespace velmora::client
