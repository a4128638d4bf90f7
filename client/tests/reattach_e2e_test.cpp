// Reattaching in a real terminal: the screen comes back as it was, the terminal's own
// scrollback is kept and gets the session's lines once, and the client is never left blind.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tmux_fixture.h"

namespace velmora::testing {
namespace {

class Reattach : public AttachInTmux {
 protected:
  // Attaches with a command that says when velmora has ended: "ENDED-<n>", unique each time;
  // then waits for shown on the screen.
  void attach_counted(const std::string& key, const std::string& pane = "t",
                      const std::string& shown = "in$") {
    ++m_attaches;
    m_tmux.type_line(
        "velmora attach " + key + "; echo ENDED-$((" + std::to_string(m_attaches) + "+1000))-$?",
        pane);
    ASSERT_TRUE(m_tmux.wait_for(shown, pane)) << m_tmux.last_screen();
  }
  // The status velmora ended with, once it has.
  std::string wait_ended(const std::string& pane = "t") {
    std::string tag = "ENDED-" + std::to_string(m_attaches + 1000) + "-";
    EXPECT_TRUE(m_tmux.wait_for(tag, pane)) << m_tmux.last_screen();
    const std::string& screen = m_tmux.last_screen();
    auto at = screen.find(tag);
    return at == std::string::npos ? "" : screen.substr(at + tag.size(), 1);
  }
  void detach_counted(const std::string& pane = "t") {
    m_tmux.press_bytes("1c", pane);
    EXPECT_EQ(wait_ended(pane), "0");
  }

  static int count_lines(const std::string& text, const std::string& line) {
    std::istringstream in(text);
    int n = 0;
    for (std::string l; std::getline(in, l);) n += l == line;
    return n;
  }

  // The velmora process below the pane's shell, found through /proc; 0 when there is none.
  pid_t client_pid(const std::string& pane = "t") {
    std::vector<std::string> pids = {m_tmux.pane_format("#{pane_pid}", pane)};
    for (std::size_t i = 0; i < pids.size() && i < 64; ++i) {
      std::string comm = read_file("/proc/" + pids[i] + "/comm");
      if (i > 0 && comm == "velmora\n") return static_cast<pid_t>(std::atoi(pids[i].c_str()));
      std::istringstream children(read_file("/proc/" + pids[i] + "/task/" + pids[i] + "/children"));
      for (std::string child; children >> child;) pids.push_back(child);
    }
    return 0;
  }

  int m_attaches = 0;
};

TEST_F(Reattach, FullScreenProgramComesBackAndLeavesTheShellsOutputBehind) {
  // A program on the alternate screen with bracketed paste that prints more than the replay
  // holds, so that the replay starts inside it.
  {
    std::ofstream program(m_dir.file("program.txt"));
    program << "\x1b[?1049h\x1b[?2004h";
    for (int i = 0; i < 5000; ++i)
      program << "alternate line " << i
              << " ..................................................\r\n";
    program << "ALT-END-42";
  }
  attach_counted("full");
  run_and_see("EARLIER");
  // It shows the bytes of one paste (18 with its brackets), then waits for a key before it leaves,
  // so that what it showed can be seen before the alternate screen goes.
  m_tmux.type_line(
      "cat " + m_dir.file("program.txt") +
      "; stty raw -echo; dd bs=1 count=18 2>/dev/null | od -An -tx1;"
      " dd bs=1 count=1 >/dev/null 2>&1; stty sane; printf '\\033[?2004l\\033[?1049l'");
  ASSERT_TRUE(m_tmux.wait_for("ALT-END-42")) << m_tmux.last_screen();
  detach_counted();
  EXPECT_TRUE(m_tmux.wait_alternate(false));

  attach_counted("full", "t", "ALT-END-42");
  EXPECT_TRUE(m_tmux.wait_alternate(true));
  EXPECT_NE(m_tmux.screen().find("alternate line 4999"), std::string::npos);
  // Bracketed paste is on again: a paste reaches the program inside its brackets.
  m_tmux.tmux({"set-buffer", "pasted"});
  m_tmux.tmux({"paste-buffer", "-p", "-t", "t"});
  // od shows 16 bytes a line: the opening bracket, the text and the closing one's start.
  EXPECT_TRUE(m_tmux.wait_for("1b 5b 32 30 30 7e 70 61 73 74 65 64 1b 5b 32 30"))
      << m_tmux.last_screen();
  m_tmux.press_bytes("71");
  // When it leaves, the shell's earlier output is there again.
  EXPECT_TRUE(m_tmux.wait_alternate(false));
  EXPECT_TRUE(m_tmux.wait_for("EARLIER-42")) << m_tmux.last_screen();
  EXPECT_EQ(m_tmux.screen().find("alternate line"), std::string::npos) << m_tmux.last_screen();
  detach_counted();
}

TEST_F(Reattach, ClearInTheSessionDoesNotClearTheTerminalsScrollback) {
  attach_counted("clr");
  // What `clear` writes, the scrollback's erasure included, whatever the terminfo says.
  m_tmux.type_line("printf '\\033[H\\033[2J\\033[3J'; echo CLEARED-$((1+1))");
  ASSERT_TRUE(m_tmux.wait_for("CLEARED-2")) << m_tmux.last_screen();
  detach_counted();
  // The terminal's own history, made after the clear, must outlive the reattach.
  m_tmux.type_line("seq 1 60 | sed s/^/OUTER-/");
  ASSERT_TRUE(m_tmux.wait_for("OUTER-60")) << m_tmux.last_screen();
  attach_counted("clr");
  run_and_see("AFTER");
  std::string history = m_tmux.history();
  EXPECT_EQ(count_lines(history, "OUTER-1"), 1) << history;
  EXPECT_EQ(count_lines(history, "OUTER-60"), 1) << history;
  detach_counted();
}

TEST_F(Reattach, ReattachingInTheSameTerminalDoesNotMultiplyTheHistory) {
  attach_counted("hist");
  m_tmux.type_line("seq 1 300 | sed s/^/HIST-/");
  ASSERT_TRUE(m_tmux.wait_for("HIST-300")) << m_tmux.last_screen();
  detach_counted();
  std::size_t lines_before = 0;
  {
    std::istringstream in(m_tmux.history());
    for (std::string l; std::getline(in, l);) ++lines_before;
  }
  for (int i = 0; i < 3; ++i) {
    attach_counted("hist");
    ASSERT_TRUE(m_tmux.wait_for("HIST-300")) << m_tmux.last_screen();
    detach_counted();
  }
  std::string history = m_tmux.history();
  // Lines that scrolled off before are there once; each reattach adds at most the screen it
  // drew and the two lines of the outer shell.
  EXPECT_EQ(count_lines(history, "HIST-1"), 1) << history;
  EXPECT_EQ(count_lines(history, "HIST-200"), 1) << history;
  std::size_t lines_after = 0;
  {
    std::istringstream in(history);
    for (std::string l; std::getline(in, l);) ++lines_after;
  }
  EXPECT_LE(lines_after, lines_before + 3 * (24 + 3)) << history;

  // A terminal that never showed the session gets the whole history, once.
  std::string other = m_tmux.split();
  ASSERT_FALSE(other.empty());
  ASSERT_TRUE(m_tmux.wait_for("outer$", other));
  attach_counted("hist", other);
  ASSERT_TRUE(m_tmux.wait_for("in$", other));
  std::string others = m_tmux.history(other);
  EXPECT_EQ(count_lines(others, "HIST-1"), 1) << others;
  EXPECT_EQ(count_lines(others, "HIST-300"), 1) << others;
}

TEST_F(Reattach, DisplacedTerminalEndsWithItsLineWhileTheOtherWorks) {
  attach_counted("both");
  std::string other = m_tmux.split();
  ASSERT_FALSE(other.empty());
  ASSERT_TRUE(m_tmux.wait_for("outer$", other));
  m_tmux.type_line("velmora attach both", other);
  EXPECT_TRUE(m_tmux.wait_for("[both attached elsewhere]")) << m_tmux.last_screen();
  EXPECT_EQ(wait_ended(), "0");
  run_and_see("OTHER", 41, other);
  // The first pane's shell is its own again, and the session did not hear from it.
  run_and_see("FIRST");
  EXPECT_EQ(m_tmux.screen(other).find("FIRST"), std::string::npos);
}

TEST_F(Reattach, ClientStoppedDuringOutputShowsLiveOutputAfterContinuing) {
  if (!std::filesystem::exists("/proc/self/task/" + std::to_string(::getpid()) + "/children"))
    GTEST_SKIP() << "needs /proc to find the client's process id";
  // Under a shell without job control, which would take the terminal back when velmora stops.
  ++m_attaches;
  m_tmux.type_line("sh -c 'velmora attach stall; echo ENDED-$((" + std::to_string(m_attaches) +
                   "+1000))-$?'");
  ASSERT_TRUE(m_tmux.wait_for("in$")) << m_tmux.last_screen();
  pid_t client = 0;
  ASSERT_TRUE(wait_until([&] { return (client = client_pid()) > 0; }));
  // Output faster than anything buffers: the daemon gives up on the stopped client.
  m_tmux.type_line("while :; do seq 1 2000; done");
  ASSERT_TRUE(m_tmux.wait_for("2000")) << m_tmux.last_screen();
  ASSERT_EQ(::kill(client, SIGSTOP), 0);
  // Stopped for longer than the daemon waits for a client that takes nothing: the stop itself
  // is what is tested, so this is a wait for time, not for a condition.
  std::this_thread::sleep_for(15s);
  ASSERT_EQ(::kill(client, SIGCONT), 0);
  // The client first catches up with the output; the interrupt is pressed again until the shell
  // has ended the loop and runs what is typed after it (a line typed before may be flushed by
  // the interrupt that works).
  bool interrupted = false;
  for (int attempt = 0; attempt < 6 && !interrupted; ++attempt) {
    std::string channel = m_tmux.fresh_channel();
    m_tmux.press_bytes("03");
    m_tmux.type_line(m_tmux.signal_command(channel));
    interrupted = m_tmux.wait_channel(channel, 10s);
  }
  ASSERT_TRUE(interrupted) << m_tmux.screen();
  run_and_see("LIVE");
  EXPECT_EQ(m_tmux.screen().find("[daemon went away]"), std::string::npos);
  detach_counted();
}

TEST_F(Reattach, ShellSeesTheRightSizeRightAfterAReattach) {
  attach_counted("size");
  detach_counted();
  // Typed before velmora has even started: the shell must never see another size.
  ++m_attaches;
  m_tmux.type_line("velmora attach size; echo ENDED-$((" + std::to_string(m_attaches) +
                   "+1000))-$?");
  m_tmux.type_line("stty size");
  EXPECT_TRUE(m_tmux.wait_for("24 80")) << m_tmux.last_screen();
  EXPECT_EQ(m_tmux.last_screen().find("23 80"), std::string::npos) << m_tmux.last_screen();
  detach_counted();
}

}  // namespace
}  // namespace velmora::testing
