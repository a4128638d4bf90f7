// The client in a real terminal: a private tmux server's pane runs velmora against a daemon in
// a temporary directory.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tmux_fixture.h"

namespace velmora::testing {
namespace {

TEST_F(AttachInTmux, DetachLeavesTheTerminalAsItWasAndReattachShowsEarlierOutput) {
  save_terminal_settings();
  attach("attach work");
  run_and_see("first");
  detach("work");
  // The outer shell is back, in the very terminal settings it had.
  expect_terminal_settings_unchanged();
  EXPECT_NE(m_tmux.last_screen().find("outer$"), std::string::npos);

  m_tmux.type_line("clear");
  ASSERT_TRUE(m_tmux.wait_gone("first-42"));
  attach("attach work", "t", Session::resumed);
  // The session's earlier output comes back with the replay.
  EXPECT_TRUE(m_tmux.wait_for("first-42")) << m_tmux.last_screen();
  run_and_see("second");

  // Ending the shell ends the client with a message.
  m_tmux.type_line("exit");
  EXPECT_TRUE(m_tmux.wait_for("[work exited]")) << m_tmux.last_screen();
  run_and_see("outer");
  expect_terminal_settings_unchanged();
}

TEST_F(AttachInTmux, TerminationSignalRestoresTheTerminalToo) {
  std::string pane_pid = m_tmux.tmux({"display-message", "-p", "-t", "t", "#{pane_pid}"}).out;
  while (!pane_pid.empty() && pane_pid.back() == '\n') pane_pid.pop_back();
  std::string children = "/proc/" + pane_pid + "/task/" + pane_pid + "/children";
  if (pane_pid.empty() || !std::filesystem::exists(children))
    GTEST_SKIP() << "needs /proc to find the client's process id";
  save_terminal_settings();
  m_tmux.type_line("velmora attach term; echo STATUS-$?");
  ASSERT_TRUE(m_tmux.wait_for("in$")) << m_tmux.last_screen();
  pid_t client = 0;
  ASSERT_TRUE(wait_until([&] { return (client = std::atoi(read_file(children).c_str())) > 0; }));
  ASSERT_EQ(::kill(client, SIGTERM), 0);
  EXPECT_TRUE(m_tmux.wait_for("[detached from term]")) << m_tmux.last_screen();
  EXPECT_TRUE(m_tmux.wait_for("STATUS-143")) << m_tmux.last_screen();
  expect_terminal_settings_unchanged();
}

TEST_F(AttachInTmux, SessionFollowsTheTerminalSize) {
  attach("attach sized");
  m_tmux.type_line("stty size");
  ASSERT_TRUE(m_tmux.wait_for("24 80")) << m_tmux.last_screen();
  m_tmux.tmux({"resize-window", "-t", "t", "-x", "100", "-y", "30"});
  m_tmux.type_line("stty size");
  EXPECT_TRUE(m_tmux.wait_for("30 100")) << m_tmux.last_screen();
}

TEST_F(AttachInTmux, SessionKnowsItsNameAndRefusesToAttachToItself) {
  attach("attach inner");
  m_tmux.type_line("echo \"[$VELMORA_SESSION]\"");
  EXPECT_TRUE(m_tmux.wait_for("[inner]")) << m_tmux.last_screen();
  // Inside a session the login shell has set its own PATH.
  const std::string velmora = VELMORA_PATH;
  m_tmux.type_line(velmora + " attach inner");
  EXPECT_TRUE(m_tmux.wait_for("velmora: refusing to attach session inner to itself"))
      << m_tmux.last_screen();
  // Another session may be nested inside, as with any terminal.
  m_tmux.type_line(velmora + " attach -e ^a nested");
  m_tmux.type_line("echo \"{$VELMORA_SESSION}\"");
  EXPECT_TRUE(m_tmux.wait_for("{nested}")) << m_tmux.last_screen();
  m_tmux.press_bytes("01");
  EXPECT_TRUE(m_tmux.wait_for("[detached from nested]")) << m_tmux.last_screen();
}

TEST_F(AttachInTmux, FullScreenProgramIsRepaintedAfterResume) {
  if (run_program(m_dir, {"sh", "-c", "command -v less"}).status != 0)
    GTEST_SKIP() << "needs less on PATH";
  {
    std::ofstream long_file(m_dir.file("long.txt"));
    for (int i = 1; i <= 200; ++i) long_file << "line " << i << "\n";
  }
  attach("attach pager");
  m_tmux.type_line("less " + m_dir.file("long.txt"));
  ASSERT_TRUE(m_tmux.wait_for("line 23")) << m_tmux.last_screen();
  detach("pager");
  // The pager's alternate screen was left: the outer shell's prompt is usable again.
  run_and_see("back");
  ASSERT_TRUE(m_tmux.wait_gone("line 23"));

  // Reattach in a larger terminal: the pager must fill it, which only a repaint can do.
  m_tmux.tmux({"resize-window", "-t", "t", "-x", "80", "-y", "30"});
  m_tmux.type_line("clear; velmora attach pager");
  EXPECT_TRUE(m_tmux.wait_for("line 29")) << m_tmux.last_screen();
  // The pager still takes keys: q quits it and the shell prompt comes back. A key that arrives
  // while the pager handles a size change may be dropped by the pager itself, so it is pressed
  // again until it takes effect.
  bool quit = false;
  for (int attempt = 0; attempt < 5 && !quit; ++attempt) {
    m_tmux.press_bytes("71");
    quit = m_tmux.wait_for("in$", "t", 2s);
  }
  EXPECT_TRUE(quit) << m_tmux.last_screen();
}

TEST_F(AttachInTmux, ResumeNudgesFullScreenProgramsToRedrawUnlessToldNot) {
  attach("attach nudge");
  // A full-screen program that numbers each size change it hears and says the size it sees then
  // (in a shell without job control, so that it is the terminal's foreground group that hears
  // SIGWINCH). The typed line shows "\$n", never a number, so only the trap prints "WINCH 1:".
  m_tmux.type_line(
      "sh -c 'printf \"\\033[?1049h\"; n=0; "
      "trap \"n=\\$((n+1)); echo WINCH \\$n: \\$(stty size)\" WINCH; "
      "while :; do sleep 0.05; done'");
  ASSERT_TRUE(m_tmux.wait_alternate(true));
  detach("nudge");
  m_tmux.type_line("velmora attach --no-redraw nudge");
  ASSERT_TRUE(m_tmux.wait_alternate(true));
  // Same size, no nudge: the first change the program hears is the real one made now.
  m_tmux.tmux({"resize-window", "-t", "t", "-x", "80", "-y", "30"});
  EXPECT_TRUE(m_tmux.wait_for("WINCH 1: 30 80")) << m_tmux.last_screen();
  detach("nudge");
  m_tmux.type_line("velmora attach nudge");
  EXPECT_TRUE(m_tmux.wait_for("WINCH 2:")) << m_tmux.last_screen();
  // The nudge ends at the real size (it is undone a moment later).
  m_tmux.press_bytes("03");
  m_tmux.type_line("sleep 1; stty size | sed 's/^/size is /'");
  EXPECT_TRUE(m_tmux.wait_for("size is 30 80")) << m_tmux.last_screen();
}

TEST_F(AttachInTmux, OtherPaneListsSendsToAndKillsTheSession) {
  attach("attach -e ^a shared");
  std::string other = m_tmux.split();
  ASSERT_FALSE(other.empty());
  ASSERT_TRUE(m_tmux.wait_for("outer$", other));

  m_tmux.type_line("velmora ls", other);
  EXPECT_TRUE(m_tmux.wait_for("KEY", other)) << m_tmux.last_screen();
  EXPECT_NE(m_tmux.last_screen().find("shared"), std::string::npos);

  m_tmux.type_line("velmora send shared echo SENT-\\$\\(\\(6\\*7\\)\\)", other);
  EXPECT_TRUE(m_tmux.wait_for("SENT-42")) << m_tmux.last_screen();

  m_tmux.type_line("velmora kill shared", other);
  EXPECT_TRUE(m_tmux.wait_for("[shared exited]")) << m_tmux.last_screen();
  m_tmux.type_line("velmora ls", other);
  EXPECT_TRUE(m_tmux.wait_for("no sessions", other)) << m_tmux.last_screen();
}

TEST_F(AttachInTmux, CustomDetachKeyDetachesAndTheDefaultOnePassesThrough) {
  attach("attach -e ^a keyed");
  // Ctrl-\ is an ordinary byte now and reaches the program in the session.
  m_tmux.type_line("stty raw -echo; head -c 1 | od -An -tx1; stty sane");
  ASSERT_TRUE(m_tmux.wait_for("stty sane")) << m_tmux.last_screen();
  m_tmux.press_bytes("1c");
  EXPECT_TRUE(m_tmux.wait_for(" 1c")) << m_tmux.last_screen();
  m_tmux.press_bytes("01");
  EXPECT_TRUE(m_tmux.wait_for("[detached from keyed]")) << m_tmux.last_screen();
}

TEST_F(AttachInTmux, DetachKeyPressedTwiceReachesTheProgramOnce) {
  attach("attach doubled");
  // Without signal keys or echo, cat -v shows the byte that reaches it as ^\.
  m_tmux.type_line("stty -isig -echo; echo READY-$((1+1)); cat -v; stty sane");
  ASSERT_TRUE(m_tmux.wait_for("READY-2")) << m_tmux.last_screen();
  // Two presses read at once, then two presses one after the other.
  m_tmux.tmux({"send-keys", "-t", "t", "-H", "1c", "1c"});
  m_tmux.type_line("x");
  EXPECT_TRUE(m_tmux.wait_for("^\\x")) << m_tmux.last_screen();
  m_tmux.press_bytes("1c");
  m_tmux.press_bytes("1c");
  m_tmux.type_line("y");
  EXPECT_TRUE(m_tmux.wait_for("^\\y")) << m_tmux.last_screen();
  EXPECT_EQ(m_tmux.last_screen().find("^\\^\\"), std::string::npos) << m_tmux.last_screen();
  EXPECT_EQ(m_tmux.last_screen().find("[detached"), std::string::npos) << m_tmux.last_screen();
  // End cat; a single press still detaches.
  m_tmux.press_bytes("04");
  run_and_see("after");
  detach("doubled");
}

TEST_F(AttachInTmux, AttachExistingRefusesAMissingKeyAndCreatesNothing) {
  m_tmux.type_line("velmora attach -x nosuch; echo STATUS-$((0+$?))");
  EXPECT_TRUE(m_tmux.wait_for("STATUS-1")) << m_tmux.last_screen();
  EXPECT_NE(m_tmux.last_screen().find("velmora: no session named nosuch"), std::string::npos)
      << m_tmux.last_screen();
  m_tmux.type_line("velmora ls");
  EXPECT_TRUE(m_tmux.wait_for("no sessions")) << m_tmux.last_screen();

  m_tmux.type_line("velmora new -d there && velmora attach --existing there");
  ASSERT_TRUE(m_tmux.wait_for("in$")) << m_tmux.last_screen();
  run_and_see("there");
  detach("there");
}

TEST_F(AttachInTmux, NewAttachesToTheSessionWithItsCommandTyped) {
  m_tmux.type_line("velmora new fresh -- echo NEW-\\$\\(\\(20+1\\)\\)");
  EXPECT_TRUE(m_tmux.wait_for("NEW-21")) << m_tmux.last_screen();
  // The shell that ran it is the one this terminal is attached to.
  run_and_see("fresh");
  m_tmux.type_line("echo \"[$VELMORA_SESSION]\"");
  EXPECT_TRUE(m_tmux.wait_for("[fresh]")) << m_tmux.last_screen();
  detach("fresh");

  m_tmux.type_line("clear; velmora new fresh; echo STATUS-$((0+$?))");
  EXPECT_TRUE(m_tmux.wait_for("STATUS-1")) << m_tmux.last_screen();
  EXPECT_NE(m_tmux.last_screen().find("session fresh already exists"), std::string::npos)
      << m_tmux.last_screen();
}

// Without a daemon, attach starts one (found in the build tree beside velmora).
class AutoStart : public ::testing::Test {
 protected:
  void run_and_see_outer() {
    m_tmux.type_line("echo OUTER-$((1+1))");
    EXPECT_TRUE(m_tmux.wait_for("OUTER-2")) << m_tmux.last_screen();
  }
  AutoStart() : m_tmux(m_dir, m_dir.file("auto.sock")) {}
  ~AutoStart() override {
    // The started daemon is not our child: stop it through its socket.
    run_program(m_dir, {VELMORA_PATH, "shutdown"}, {{"VELMORAD_SOCKET", m_dir.file("auto.sock")}});
  }
  TempDir m_dir;
  TmuxTerminal m_tmux;
};

TEST_F(AutoStart, AttachStartsTheDaemonAndNoticesWhenItGoes) {
  ASSERT_TRUE(m_tmux.started());
  ASSERT_TRUE(m_tmux.wait_for("outer$"));
  // Started with a descriptor of the outer shell's open, which the daemon must not keep.
  m_tmux.type_line("SHELL=/bin/sh velmora 7>" + m_dir.file("held.txt"));
  m_tmux.type_line("echo AUTO-$((1+1))");
  ASSERT_TRUE(m_tmux.wait_for("AUTO-2")) << m_tmux.last_screen();

  Ran version =
      run_program(m_dir, {VELMORA_PATH, "version"}, {{"VELMORAD_SOCKET", m_dir.file("auto.sock")}});
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("daemon pid "), std::string::npos) << version.out;

  auto at = version.out.find("daemon pid ");
  ASSERT_NE(at, std::string::npos);
  pid_t pid = static_cast<pid_t>(std::stol(version.out.substr(at + 11)));
  ASSERT_GT(pid, 1);
  std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  if (std::filesystem::exists(fd_dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(fd_dir)) {
      std::error_code ignored;
      EXPECT_EQ(std::filesystem::read_symlink(entry.path(), ignored).string().find("held.txt"),
                std::string::npos)
          << entry.path();
    }
  }

  // A daemon that dies (no orderly shutdown, no exit events) is noticed.
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  EXPECT_TRUE(m_tmux.wait_for("[daemon went away]")) << m_tmux.last_screen();
  run_and_see_outer();
}

TEST_F(AttachInTmux, AMissingSocketStartsNoSecondDaemon) {
  attach("attach kept");
  detach("kept");
  const std::string& path = m_daemon.socket_path();
  pid_t pid = m_daemon.pid();
  // A cleaner deletes the file while the daemon cannot make it again at once.
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  m_tmux.type_line("velmora attach kept; echo status=$?");
  EXPECT_TRUE(m_tmux.wait_for("status=1")) << m_tmux.last_screen();
  EXPECT_NE(m_tmux.last_screen().find("the daemon's socket is missing"), std::string::npos)
      << m_tmux.last_screen();
  ::kill(pid, SIGCONT);

  // No second daemon took the path: the first one makes its file again and still answers there.
  std::optional<Event> hello;
  ASSERT_TRUE(wait_until([&] {
    TestClient client(path);
    hello = client.send_line(R"({"type":"hello","version":1})") ? client.read_event(2s)
                                                                 : std::nullopt;
    return hello.has_value();
  }));
  ASSERT_TRUE(std::holds_alternative<HelloEvent>(*hello));
  EXPECT_EQ(std::get<HelloEvent>(*hello).pid, static_cast<std::uint32_t>(pid));
  attach("attach kept", "t", Session::resumed);
  run_and_see("back");
}

}  // namespace
}  // namespace velmora::testing
