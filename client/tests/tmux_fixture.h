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
    ASSERT_TRUE(m_listening) << m_daemon.stderr_text();
    ASSERT_TRUE(m_tmux.started());
    ASSERT_TRUE(m_tmux.wait_for("outer$"));
  }

  std::string write_rc() {
    std::string path = m_dir.file("inner.rc");
    std::ofstream(path) << "PS1='in$ '\n";
    return path;
  }

  // Types a command that prints tag-<n+1> and waits for that output (the typed text shows
  // $((n+1)), so only the shell's answer matches).
  void run_and_see(const std::string& tag, int n = 41, const std::string& pane = "t") {
    m_tmux.type_line("echo " + tag + "-$((" + std::to_string(n) + "+1))", pane);
    ASSERT_TRUE(m_tmux.wait_for(tag + "-" + std::to_string(n + 1), pane)) << m_tmux.last_screen();
  }

  // The outer terminal's settings, kept to compare with later.
  void save_terminal_settings() { m_tmux.type_line("clear; stty -a > before.txt"); }

  // The outer shell's terminal has exactly the settings that save_terminal_settings saw.
  void expect_terminal_settings_unchanged() {
    ++m_checks;
    std::string n = std::to_string(m_checks);
    m_tmux.type_line("stty -a > after.txt; cmp before.txt after.txt && echo SAME-$((" + n + "+0))");
    EXPECT_TRUE(m_tmux.wait_for("SAME-" + n)) << m_tmux.last_screen() << "\nbefore:\n"
                                              << read_file(m_dir.file("before.txt")) << "\nafter:\n"
                                              << read_file(m_dir.file("after.txt"));
  }

  void attach(const std::string& args, const std::string& pane = "t") {
    m_tmux.type_line("velmora " + args, pane);
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
  int m_checks = 0;
};

}  // namespace velmora::testing
