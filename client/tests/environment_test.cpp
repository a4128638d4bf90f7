#include <gtest/gtest.h>

#include "new_session.h"

namespace velmora::client {
namespace {

TEST(TerminalEnvironment, TakesTerminalLocaleAndAgentVariablesOnlyInOrder) {
  const char* envp[] = {"PATH=/bin",
                        "LC_ALL=C.UTF-8",
                        "TERM=xterm-256color",
                        "SSH_AUTH_SOCK=/tmp/ssh-x/agent.1",
                        "LCX=no",
                        "LANG=de_DE.UTF-8",
                        "SSH_CLIENT=10.0.0.1 5 22",
                        "COLORTERM=truecolor",
                        "TERMINFO=/x",
                        "DISPLAY=:0",
                        "LC_TIME=bad\xff",
                        "noequals",
                        "WAYLAND_DISPLAY=wayland-0",
                        "DISPLAYX=no",
                        "SSH_CONNECTION=10.0.0.1 5 10.0.0.2 22",
                        "XAUTHORITY=/run/user/1/xauth",
                        "LC_=empty-name-ok",
                        nullptr};
  std::vector<EnvPair> expected = {{"LC_ALL", "C.UTF-8"},
                                   {"TERM", "xterm-256color"},
                                   {"SSH_AUTH_SOCK", "/tmp/ssh-x/agent.1"},
                                   {"LANG", "de_DE.UTF-8"},
                                   {"COLORTERM", "truecolor"},
                                   {"DISPLAY", ":0"},
                                   {"WAYLAND_DISPLAY", "wayland-0"},
                                   {"SSH_CONNECTION", "10.0.0.1 5 10.0.0.2 22"},
                                   {"XAUTHORITY", "/run/user/1/xauth"},
                                   {"LC_", "empty-name-ok"}};
  EXPECT_EQ(terminal_environment(envp), expected);
}

TEST(TerminalEnvironment, NewSessionRequestCarriesTheSessionsOwnVariablesLast) {
  AttachRequest request = new_session_request("work", WindowSize{30, 100}, "/tmp/d.sock");
  EXPECT_EQ(request.key, "work");
  EXPECT_EQ(request.cols, 100);
  EXPECT_EQ(request.rows, 30);
  ASSERT_GE(request.env.size(), 2u);
  EXPECT_EQ(request.env[request.env.size() - 2], (EnvPair{"VELMORA_SESSION", "work"}));
  EXPECT_EQ(request.env.back(), (EnvPair{"VELMORA_SESSION_SOCKET", "/tmp/d.sock"}));
}

}  // namespace
}  // namespace velmora::client
