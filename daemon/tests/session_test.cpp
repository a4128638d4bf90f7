#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "shell_client.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

std::uint64_t now_seconds() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

// The shell's physical working directory, asked of the shell itself.
std::string shell_pwd(ShellClient& client, const std::string& key) {
  static int counter = 0;
  std::string tag = "pwd" + std::to_string(++counter);
  client.type(key, "echo " + tag + "'<'$(pwd -P)'>'\r");
  if (!client.wait_output(key, tag + "<")) return "";
  client.wait_output(key, ">\r\n");
  const std::string& out = client.output(key);
  auto start = out.rfind(tag + "<") + tag.size() + 1;
  return out.substr(start, out.find('>', start) - start);
}

std::string real(const std::string& path) { return fs::canonical(path).string(); }

TEST(NewSession, StartsALoginShellAndReportsIt) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  TempDir work;
  ShellClient client(daemon.socket_path());
  std::uint64_t before = now_seconds();
  auto attached = client.attached("main", work.path());
  ASSERT_TRUE(attached);
  EXPECT_EQ(attached->key, "main");
  EXPECT_FALSE(attached->resumed);
  EXPECT_EQ(attached->replay_base64, "");
  EXPECT_EQ(attached->cwd, work.path());
  ASSERT_GT(attached->pid, 0u);

  if (have_proc()) {
    pid_t pid = static_cast<pid_t>(attached->pid);
    EXPECT_EQ(parent_of(pid), daemon.process().pid());
    EXPECT_EQ(read_file("/proc/" + std::to_string(pid) + "/cmdline"),
              std::string("/bin/sh\0-l\0", 11));
  }
  EXPECT_EQ(shell_pwd(client, "main"), real(work.path()));

  auto rows = client.list();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].key, "main");
  EXPECT_EQ((*rows)[0].cwd, work.path());
  EXPECT_EQ((*rows)[0].pid, attached->pid);
  EXPECT_GE((*rows)[0].started_at, before);
  EXPECT_LE((*rows)[0].started_at, now_seconds());
}

TEST(NewSession, ChoosesTheWorkingDirectory) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  TempDir work;
  ShellClient client(daemon.socket_path());

  // Relative to the daemon's working directory (the same as ours), reported as sent.
  std::string relative = fs::relative(work.path(), fs::current_path()).string();
  ASSERT_FALSE(relative.empty());
  ASSERT_NE(relative[0], '/');
  auto a = client.attached("relative", relative);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->cwd, relative);
  EXPECT_EQ(shell_pwd(client, "relative"), real(work.path()));

  // A symbolic link to a directory counts as a directory.
  fs::create_directory(work.file("target"));
  fs::create_directory_symlink(work.file("target"), work.file("link"));
  auto b = client.attached("link", work.file("link"));
  ASSERT_TRUE(b);
  EXPECT_EQ(b->cwd, work.file("link"));

  // A regular file, a missing directory, no directory at all, and a name with a NUL byte (whose
  // part before the NUL is a directory) give HOME.
  std::ofstream(work.file("plain")) << "x";
  std::string with_nul = work.path() + std::string("\0/x", 3);
  for (const auto& cwd :
       {std::optional<std::string>(work.file("plain")),
        std::optional<std::string>(work.file("missing")), std::optional<std::string>(),
        std::optional<std::string>(with_nul)}) {
    auto c = client.attached("home" + cwd.value_or(""), cwd);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->cwd, daemon.home());
  }
  EXPECT_EQ(shell_pwd(client, "home" + work.file("plain")), real(daemon.home()));
  EXPECT_EQ(shell_pwd(client, "home" + with_nul), real(daemon.home()));

  auto rows = client.list();
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 6u);
  EXPECT_EQ(find_row(*rows, "relative")->cwd, relative);
  EXPECT_EQ(find_row(*rows, "home" + work.file("missing"))->cwd, daemon.home());
}

TEST(NewSession, FallsBackToTheRootWithoutHome) {
  ShellDaemon daemon("/bin/sh", {{"HOME", std::nullopt}});
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  auto attached = client.attached("k", "/no/such/directory");
  ASSERT_TRUE(attached);
  EXPECT_EQ(attached->cwd, "/");
  EXPECT_EQ(shell_pwd(client, "k"), "/");
}

TEST(NewSession, PassesTheClientsEnvironment) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  ASSERT_TRUE(client.attached(
      "k", {}, 80, 24,
      {{"VELMORA_ONE", "first value"}, {"VELMORA_TWO", "x"}, {"VELMORA_TWO", "second"}}));
  client.type("k", "echo \"<$VELMORA_ONE|$VELMORA_TWO>\"\r");
  EXPECT_TRUE(client.wait_output("k", "<first value|second>"));
}

TEST(NewSession, ReportsAShellThatCannotStart) {
  struct Case {
    std::optional<std::string> shell;
    std::vector<EnvPair> env;
    std::string message;
  };
  std::vector<Case> cases = {
      {"/no/such/shell",
       {},
       "シェルを起こせません: Unable to spawn /no/such/shell because it doesn't exist on the "
       "filesystem or is not executable (ENOENT: No such file or directory)"},
      {"/bin/sh",
       {{"BAD", std::string("a\0b", 3)}},
       "シェルを起こせません: nul byte found in provided data"},
  };
  // Without SHELL the daemon starts /bin/zsh, which this machine may not have.
  if (!fs::exists("/bin/zsh")) {
    cases.push_back({std::nullopt,
                     {},
                     "シェルを起こせません: Unable to spawn /bin/zsh because it doesn't exist on "
                     "the filesystem or is not executable (ENOENT: No such file or directory)"});
  }
  for (const auto& c : cases) {
    ShellDaemon daemon("", {{"SHELL", c.shell}});
    ASSERT_TRUE(daemon.listening());
    ShellClient client(daemon.socket_path());
    auto event = client.attach("k", {}, 80, 24, c.env);
    ASSERT_TRUE(event);
    ASSERT_TRUE(std::holds_alternative<ErrorEvent>(*event)) << c.message;
    EXPECT_EQ(std::get<ErrorEvent>(*event).message, c.message);
    auto rows = client.list();
    ASSERT_TRUE(rows);
    EXPECT_TRUE(rows->empty());
  }
}

TEST(Session, TypedCommandsAnswerOnTheirOwnKey) {
  ShellDaemon daemon("/bin/bash");
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  ASSERT_TRUE(client.attached("one"));
  ASSERT_TRUE(client.attached("two"));
  // The quotes keep the echoed command line from matching what the command prints.
  client.type("one", "echo fi''rst\r");
  client.type("two", "echo sec''ond\r");
  ASSERT_TRUE(client.wait_output("one", "first"));
  ASSERT_TRUE(client.wait_output("two", "second"));
  EXPECT_EQ(client.output("one").find("second"), std::string::npos);
  EXPECT_EQ(client.output("two").find("first"), std::string::npos);
  EXPECT_EQ(client.undecodable(), 0);
}

TEST(Session, IgnoresBadWritesAndUnknownKeys) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  ASSERT_TRUE(client.attached("k"));
  client.send(WriteRequest{"k", "ZWNobyBvb3BzDQ="});  // not canonical base64
  client.send(WriteRequest{"k", "*not base64*"});
  client.send(WriteRequest{"nobody", base64_encode("echo x\r")});
  client.send(ResizeRequest{"nobody", 10, 10});
  client.send(CloseRequest{"nobody"});
  // Nothing answers them: the next event is the reply to this hello.
  ASSERT_TRUE(client.send(HelloRequest{1}));
  auto next = client.next_event();
  ASSERT_TRUE(next);
  EXPECT_TRUE(std::holds_alternative<HelloEvent>(*next));

  client.type("k", "echo al''ive\r");
  ASSERT_TRUE(client.wait_output("k", "alive"));
  EXPECT_EQ(client.output("k").find("oops"), std::string::npos);
  auto rows = client.list();
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 1u);
}

TEST(Resume, AnotherConnectionTakesTheSessionOver) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  TempDir work;
  ShellClient first(daemon.socket_path());
  auto created = first.attached("k", work.path(), 80, 24);
  ASSERT_TRUE(created);
  first.type("k", "echo be''fore\r");
  ASSERT_TRUE(first.wait_output("k", "before"));

  ShellClient second(daemon.socket_path());
  auto resumed = second.attached("k", "/", 100, 30);
  ASSERT_TRUE(resumed);
  EXPECT_TRUE(resumed->resumed);
  EXPECT_EQ(resumed->pid, created->pid);
  EXPECT_EQ(resumed->cwd, work.path());
  auto replay = base64_decode(resumed->replay_base64);
  ASSERT_TRUE(replay);
  EXPECT_NE(replay->find("before"), std::string::npos);

  second.type("k", "stty size; echo af''ter\r");
  ASSERT_TRUE(second.wait_output("k", "after"));
  EXPECT_NE(second.output("k").find("30 100"), std::string::npos);
  // Only one shell: the table still has one row with the same process.
  auto rows = second.list();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].pid, created->pid);

  // The first client got nothing of it; its connection stays open and its own replies still
  // come to it, not to the client that took the session.
  first.drain();
  EXPECT_EQ(first.output("k").find("after"), std::string::npos);
  EXPECT_FALSE(first.raw().wait_closed(100ms));
  EXPECT_TRUE(first.hello(3s));
  EXPECT_EQ(first.output("k").find("after"), std::string::npos);
  // The shell may still be printing its prompt to the second client; what must not reach it is
  // the first client's reply. Its own hello's reply comes after anything sent to it before, so
  // exactly one hello reply is in its log.
  second.drain(200ms);
  ASSERT_TRUE(second.hello());
  int hellos = 0;
  for (const Event& event : second.log()) hellos += std::holds_alternative<HelloEvent>(event);
  EXPECT_EQ(hellos, 1) << "a reply went to the wrong client";

  // Nor does the first client's leaving take the session away from the second.
  first.disconnect();
  second.type("k", "echo st''ill\r");
  EXPECT_TRUE(second.wait_output("k", "still"));
}

TEST(Resume, ABusySessionResumesWithWholeLines) {
  // While the shell floods its terminal, the session's output and the resuming connection's
  // own (large) attached event go to one socket: every line must arrive whole.
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  {
    ShellClient creator(daemon.socket_path());
    ASSERT_TRUE(creator.attached("busy"));
    creator.type("busy", "yes flooding\r");
    ASSERT_TRUE(creator.wait_output("busy", "flooding\r\nflooding"));
  }
  for (int i = 0; i < 5; ++i) {
    ShellClient resumer(daemon.socket_path());
    auto resumed = resumer.attached("busy");
    ASSERT_TRUE(resumed) << "resume " << i;
    EXPECT_NE(base64_decode(resumed->replay_base64).value_or("").find("flooding"),
              std::string::npos);
    EXPECT_TRUE(resumer.wait_output_size("busy", 200000));
    EXPECT_EQ(resumer.undecodable(), 0) << "resume " << i;
  }
  ShellClient closer(daemon.socket_path());
  closer.send(CloseRequest{"busy"});
  EXPECT_TRUE(closer.hello());
}

TEST(Resume, TheCreatingConnectionCanResumeItsOwnSession) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  auto created = client.attached("k");
  ASSERT_TRUE(created);
  client.type("k", "echo on''e\r");
  ASSERT_TRUE(client.wait_output("k", "one"));

  auto again = client.attached("k", {}, 90, 20);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->resumed);
  EXPECT_EQ(again->pid, created->pid);
  EXPECT_NE(base64_decode(again->replay_base64).value_or("").find("one"), std::string::npos);
  client.type("k", "stty size; echo tw''o\r");
  ASSERT_TRUE(client.wait_output("k", "two"));
  EXPECT_NE(client.output("k").find("20 90"), std::string::npos);
  EXPECT_TRUE(client.hello());
}

TEST(Resume, ReplaysOutputMadeWhileDetached) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  TempDir work;
  {
    ShellClient client(daemon.socket_path());
    ASSERT_TRUE(client.attached("k", work.path()));
    // The shell prints only once the client has gone.
    client.type("k", "while [ ! -e go ]; do sleep 0.02; done; echo la''ter; touch done\r");
    ASSERT_TRUE(client.wait_output("k", "touch done"));
  }
  std::ofstream(work.file("go")) << "";
  ASSERT_TRUE(wait_until([&] { return fs::exists(work.file("done")); }));

  ShellClient later(daemon.socket_path());
  auto resumed = later.attached("k");
  ASSERT_TRUE(resumed);
  EXPECT_TRUE(resumed->resumed);
  EXPECT_NE(base64_decode(resumed->replay_base64).value_or("").find("later"), std::string::npos);
}

// What a watching client saw of a command that the session's shell ran to its end, and the
// replay that a resume from another connection got right after.
struct SeenAndReplayed {
  std::string seen;
  std::string replay;
};

std::optional<SeenAndReplayed> run_then_resume(ShellDaemon& daemon, const std::string& command) {
  ShellClient watcher(daemon.socket_path());
  if (!watcher.attached("k")) return {};
  watcher.type("k", command + "; echo fin''ished\r");
  if (!watcher.wait_output("k", "finished", 60s)) return {};
  // Let the prompt arrive; the shell is idle afterwards.
  watcher.drain();
  ShellClient resumer(daemon.socket_path());
  auto resumed = resumer.attached("k");
  if (!resumed) return {};
  watcher.drain();
  auto replay = base64_decode(resumed->replay_base64);
  if (!replay) return {};
  resumer.send(CloseRequest{"k"});
  if (!resumer.next_is_exited("k")) return {};
  return SeenAndReplayed{watcher.output("k"), *replay};
}

// About 390000 bytes of numbered lines: more than a replay holds.
constexpr const char* LONG_OUTPUT = "seq 1 60000";

TEST(Resume, ReplayHoldsExactlyTheLastOutput) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  auto run = run_then_resume(daemon, LONG_OUTPUT);
  ASSERT_TRUE(run);
  ASSERT_GT(run->seen.size(), 262144u);
  ASSERT_EQ(run->replay.size(), 262144u);
  EXPECT_TRUE(run->replay == run->seen.substr(run->seen.size() - 262144));
}

TEST(Resume, ReplayRestoresTerminalModesSetBeforeIt) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  // As a full-screen program does when it starts: the alternate screen, then bracketed paste.
  auto run =
      run_then_resume(daemon, std::string("printf '\\033[?1049h\\033[?2004h'; ") + LONG_OUTPUT);
  ASSERT_TRUE(run);
  const std::string preamble = "\x1b[?1049h\x1b[?2004h";
  ASSERT_NE(run->seen.find(preamble), std::string::npos);
  ASSERT_GT(run->seen.size(), 262144u + 4096u);
  // The preamble, then the exact tail of the output; together no more than a replay holds.
  ASSERT_EQ(run->replay.size(), 262144u);
  EXPECT_EQ(run->replay.substr(0, preamble.size()), preamble);
  const std::size_t tail = run->replay.size() - preamble.size();
  EXPECT_TRUE(run->replay.substr(preamble.size()) == run->seen.substr(run->seen.size() - tail));
}

TEST(Resume, ReplayRestoresNoModeThatIsOffOrSetInsideIt) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  for (std::string command : {
           // Switched on and off again long before the window.
           std::string("printf '\\033[?1049h\\033[?2004h'; printf '\\033[?2004l\\033[?1049l'; ") +
               LONG_OUTPUT,
           // Switched on inside the window: the replay has it already.
           std::string(LONG_OUTPUT) + "; printf '\\033[?1049h\\033[?2004h'",
       }) {
    SCOPED_TRACE(command);
    auto run = run_then_resume(daemon, command);
    ASSERT_TRUE(run);
    ASSERT_GT(run->seen.size(), 262144u + 4096u);
    ASSERT_EQ(run->replay.size(), 262144u);
    EXPECT_TRUE(run->replay == run->seen.substr(run->seen.size() - 262144));
  }
}

TEST(Close, EndsTheShellAndReportsExited) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  auto plain = client.attached("plain");
  ASSERT_TRUE(plain);
  // This one survives SIGHUP and needs the SIGKILL that follows the grace polls.
  auto stubborn = client.attached("stubborn");
  ASSERT_TRUE(stubborn);
  ASSERT_TRUE(client.ignore_hangup("stubborn"));
  ASSERT_TRUE(client.attached("other"));

  // No reply to a close: the next event is the pump's exited.
  ASSERT_TRUE(client.send(CloseRequest{"plain"}));
  EXPECT_TRUE(client.next_is_exited("plain"));
  ASSERT_TRUE(client.send(CloseRequest{"stubborn"}));
  EXPECT_TRUE(client.next_is_exited("stubborn"));
  auto rows = client.list();
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*rows)[0].key, "other");
  EXPECT_TRUE(wait_gone(plain->pid));
  EXPECT_TRUE(wait_gone(stubborn->pid));
}

TEST(Close, AnEndingPumpLeavesANewerSessionAlone) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  auto old_session = client.attached("k");
  ASSERT_TRUE(old_session);
  // The old shell outlives its removal from the table by the kill's grace period, so its pump
  // ends only after the new session below has taken the key.
  ASSERT_TRUE(client.ignore_hangup("k"));
  ShellClient closer(daemon.socket_path());
  ASSERT_TRUE(closer.send(CloseRequest{"k"}));
  ASSERT_TRUE(wait_until([&] {
    auto rows = client.list();
    return rows && !find_row(*rows, "k");
  }));
  auto new_session = client.attached("k");
  ASSERT_TRUE(new_session);
  EXPECT_FALSE(new_session->resumed);
  EXPECT_NE(new_session->pid, old_session->pid);

  // The old pump's exited; had it removed the new session, that shell would end as well and a
  // second exited would follow.
  ASSERT_TRUE(client.next_is_exited("k"));
  EXPECT_FALSE(client.next_event(500ms));
  EXPECT_TRUE(client.reply_comes_next());
  auto rows = client.list();
  ASSERT_TRUE(rows);
  ASSERT_TRUE(find_row(*rows, "k"));
  EXPECT_EQ(find_row(*rows, "k")->pid, new_session->pid);
  client.type("k", "echo st''ill\r");
  EXPECT_TRUE(client.wait_output("k", "still"));
}

}  // namespace
}  // namespace velmora::testing
