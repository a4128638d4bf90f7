#pragma once

// The fixture of the tests that run velmora in a real terminal: a daemon in a temporary
// directory and a private tmux server whose pane is the terminal.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "client_harness.h"

namespace velmora::testing {

// A daemon whose sessions run /bin/sh with the prompt "in$ ", plus a tmux pane to type in.
class AttachInTmux : public ::testing::Test {
 protected:
  AttachInTmux()
      : m_rc(write_rc()),
        m_daemon(m_dir, m_dir.file("d.sock"),
                 {{"SHELL", "/bin/sh"}, {"ENV", m_rc}, {"HOME", m_dir.path()}}),
        m_listening(m_daemon.wait_listening()),
        m_tmux(m_dir, m_daemon.socket_path()) {}

  void SetUp() override {
    if (run_program(m_dir, {"tmux", "-V"}).status != 0) GTEST_SKIP() << "needs tmux on PATH";
    ASSERT_TRUE(m_listening) << m_daemon.stderr_text();
    ASSERT_TRUE(m_tmux.started());
    ASSERT_TRUE(m_tmux.wait_for("outer$"));
  }

  // Every new shell of a session signals the channel "started-<key>" once it has read this,
  // just before its first prompt.
  std::string write_rc() {
    std::string path = m_dir.file("inner.rc");
    std::ofstream(path) << "PS1='in$ '\n"
                        << "tmux -S '" << m_dir.file("tmux.sock")
                        << "' wait-for -S \"started-$VELMORA_SESSION\"\n";
    return path;
  }

  // Types a command that prints tag-<n+1> and waits for that output (the typed text shows
  // $((n+1)), so only the shell's answer matches). The shell signals a channel once it has
  // printed; only then is the pane looked at, until the output has been drawn there.
  void run_and_see(const std::string& tag, int n = 41, const std::string& pane = "t") {
    std::string channel = m_tmux.fresh_channel();
    m_tmux.type_line(
        "echo " + tag + "-$((" + std::to_string(n) + "+1)); " + m_tmux.signal_command(channel),
        pane);
    ASSERT_TRUE(m_tmux.wait_channel(channel)) << m_tmux.screen(pane);
    ASSERT_TRUE(m_tmux.wait_for(tag + "-" + std::to_string(n + 1), pane)) << m_tmux.last_screen();
  }

  // The outer terminal's settings, kept to compare with later.
  void save_terminal_settings() {
    std::string channel = m_tmux.fresh_channel();
    m_tmux.type_line("clear; stty -a > before.txt; " + m_tmux.signal_command(channel));
    ASSERT_TRUE(m_tmux.wait_channel(channel)) << m_tmux.screen();
  }

  // The outer shell is at its prompt again, and its terminal has exactly the settings that
  // save_terminal_settings saw.
  void expect_terminal_settings_unchanged() {
    std::string channel = m_tmux.fresh_channel();
    m_tmux.type_line("stty -a > after.txt; " + m_tmux.signal_command(channel));
    ASSERT_TRUE(m_tmux.wait_channel(channel)) << m_tmux.screen();
    std::string before = read_file(m_dir.file("before.txt"));
    EXPECT_FALSE(before.empty());
    EXPECT_EQ(read_file(m_dir.file("after.txt")), before);
    m_tmux.wait_for("outer$");
  }

  // Runs velmora with args, the last of which is the key, and waits for the session's prompt.
  // For a new session the prompt is awaited only once the new shell has said that it started,
  // so no prompt left on the screen by an earlier shell stands in for it.
  enum class Session { fresh, resumed };
  void attach(const std::string& args, const std::string& pane = "t",
              Session session = Session::fresh) {
    m_tmux.type_line("velmora " + args, pane);
    if (session == Session::fresh) {
      std::string key = args.substr(args.rfind(' ') + 1);
      ASSERT_TRUE(m_tmux.wait_channel("started-" + key)) << m_tmux.screen(pane);
    }
    ASSERT_TRUE(m_tmux.wait_for("in$", pane)) << m_tmux.last_screen();
  }

  void detach(const std::string& key, const std::string& pane = "t") {
    m_tmux.press_bytes("1c", pane);
    ASSERT_TRUE(m_tmux.wait_for("[detached from " + key + "]", pane)) << m_tmux.last_screen();
  }

  TempDir m_dir;
  std::string m_rc;
  DaemonProcess m_daemon;
  bool m_listening;
  TmuxTerminal m_tmux;
};

}  // namespace velmora::testing
