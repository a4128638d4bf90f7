// The one-shot commands against a real daemon in a temporary directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "client_harness.h"
#include "velmora/core/base64.h"

namespace velmora::testing {
namespace {

// Everything that session key has shown so far, and more until text shows up: the replay of an
// attach of our own, then its output.
std::string shown_by(const std::string& socket, const std::string& key, const std::string& text) {
  TestClient client(socket);
  client.send_request(AttachRequest{key, "/", 80, 24, {}});
  std::string seen;
  wait_until([&] {
    if (auto event = client.read_event(200ms)) {
      if (auto* attached = std::get_if<AttachedEvent>(&*event))
        seen += base64_decode(attached->replay_base64).value_or("");
      if (auto* output = std::get_if<OutputEvent>(&*event))
        seen += base64_decode(output->data_base64).value_or("");
    }
    return seen.find(text) != std::string::npos;
  });
  return seen;
}

class Commands : public ::testing::Test {
 protected:
  Commands() : m_daemon(std::map<std::string, std::optional<std::string>>{{"SHELL", "/bin/sh"}}) {}
  void SetUp() override { ASSERT_TRUE(m_daemon.listening()); }

  Ran velmora(std::vector<std::string> args,
              std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), VELMORA_PATH);
    env["VELMORAD_SOCKET"] = m_daemon.socket_path();
    return run_program(m_daemon.dir(), std::move(args), env);
  }

  std::string screen_of(const std::string& key, const std::string& text) {
    return shown_by(m_daemon.socket_path(), key, text);
  }

  // The `ls --json` line of session key once it contains every one of parts.
  std::string json_row_once(const std::string& key, const std::vector<std::string>& parts) {
    std::string row;
    wait_until([&] {
      std::string out = velmora({"ls", "--json"}).out;
      auto at = out.find("{\"key\":\"" + key + "\"");
      row = at == std::string::npos ? "" : out.substr(at, out.find('\n', at) - at);
      return std::all_of(parts.begin(), parts.end(), [&](const std::string& part) {
        return row.find(part) != std::string::npos;
      });
    });
    return row;
  }

  // A session created through a connection of our own, which keeps it attached.
  TestClient create(const std::string& key) {
    TestClient client = m_daemon.client();
    client.send_request(AttachRequest{key, "/", 80, 24, {}});
    while (auto event = client.read_event()) {
      if (std::holds_alternative<AttachedEvent>(*event)) break;
    }
    return client;
  }

  RunningDaemon m_daemon;
};

// Reads the session's output until text shows up.
bool output_contains(TestClient& client, const std::string& text) {
  std::string seen;
  auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    auto event = client.read_event(1s);
    if (!event) continue;
    if (auto* output = std::get_if<OutputEvent>(&*event)) {
      seen += base64_decode(output->data_base64).value_or("");
      if (seen.find(text) != std::string::npos) return true;
    }
  }
  return false;
}

TEST_F(Commands, ListShowsSortedTableAndJsonRows) {
  TestClient b = create("beta");
  TestClient a = create("alpha");
  Ran table = velmora({"ls"});
  EXPECT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out.rfind("KEY", 0), 0u) << table.out;
  auto alpha = table.out.find("\nalpha "), beta = table.out.find("\nbeta ");
  ASSERT_NE(alpha, std::string::npos) << table.out;
  ASSERT_NE(beta, std::string::npos) << table.out;
  EXPECT_LT(alpha, beta);

  Ran json = velmora({"ls", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out.rfind("{\"key\":\"alpha\",\"pid\":", 0), 0u) << json.out;
  EXPECT_NE(json.out.find(",\"startCwd\":\"/\",\"cwd\":"), std::string::npos) << json.out;
  EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 2);
}

TEST_F(Commands, SendTypesIntoAnExistingSessionOnly) {
  TestClient session = create("typed");
  Ran sent = velmora({"send", "typed", "echo", "SENT-$((40+2))"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  EXPECT_TRUE(output_contains(session, "SENT-42"));

  Ran missing = velmora({"send", "nosuch", "echo", "x"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "velmora: no session named nosuch\n");
  // It was not created along the way.
  EXPECT_EQ(velmora({"ls", "--json"}).out.find("nosuch"), std::string::npos);
}

TEST_F(Commands, SendDoesNotTypeTheDoubleDash) {
  TestClient session = create("dashed");
  Ran sent = velmora({"send", "dashed", "--", "echo", "DASH-$((40+2))"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  std::string seen = screen_of("dashed", "DASH-42");
  EXPECT_NE(seen.find("DASH-42"), std::string::npos) << seen;
  EXPECT_NE(seen.find("echo DASH-"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("-- echo"), std::string::npos) << seen;
}

TEST_F(Commands, ListShowsTheShellsCurrentDirectoryAndForegroundCommand) {
  std::string place = m_daemon.dir().file("elsewhere");
  std::filesystem::create_directory(place);
  place = std::filesystem::canonical(place).string();
  Ran made = velmora({"new", "-d", "busy", "--", "cd", place, "&&", "sleep", "30"});
  ASSERT_EQ(made.status, 0) << made.err;

  std::string row =
      json_row_once("busy", {"\"cwd\":\"" + place + "\"", "\"command\":\"sleep 30\""});
  EXPECT_NE(row.find("\"cwd\":\"" + place + "\""), std::string::npos) << row;
  EXPECT_NE(row.find("\"command\":\"sleep 30\""), std::string::npos) << row;
  // The starting directory is still the one it was created in.
  EXPECT_EQ(row.find("\"startCwd\":\"" + place + "\""), std::string::npos) << row;

  // The table, with a home directory elsewhere so that the path is shown whole.
  Ran table = velmora({"ls"}, {{"HOME", "/nonexistent"}});
  EXPECT_EQ(table.status, 0) << table.err;
  auto line = table.out.substr(table.out.find("\nbusy "));
  line = line.substr(0, line.find('\n', 1));
  EXPECT_NE(line.find(place.size() <= 40 ? place : place.substr(place.size() - 30)),
            std::string::npos)
      << table.out;
  EXPECT_NE(line.find("sleep 30"), std::string::npos) << table.out;
}

TEST_F(Commands, NewCreatesDetachedSessionsAndRefusesAKeyThatExists) {
  Ran made = velmora({"new", "-d", "plain"});
  EXPECT_EQ(made.status, 0) << made.err;
  EXPECT_EQ(made.out + made.err, "");
  // Without a terminal on standard input there is nothing to attach, -d or not.
  Ran quiet = velmora({"new", "quiet"});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  std::string rows = velmora({"ls", "--json"}).out;
  EXPECT_NE(rows.find("{\"key\":\"plain\""), std::string::npos) << rows;
  EXPECT_NE(rows.find("{\"key\":\"quiet\""), std::string::npos) << rows;

  Ran again = velmora({"new", "-d", "plain"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err,
            "velmora: session plain already exists (attach to it with 'velmora attach plain')\n");
  // The session that was there is untouched: still one, with the same shell.
  auto shell_of = [](const std::string& listing, const std::string& key) {
    auto at = listing.find("{\"key\":\"" + key + "\",\"pid\":");
    return at == std::string::npos ? std::string()
                                   : listing.substr(at, listing.find(',', at + 9) - at);
  };
  std::string after = velmora({"ls", "--json"}).out;
  EXPECT_FALSE(shell_of(rows, "plain").empty()) << rows;
  EXPECT_EQ(shell_of(after, "plain"), shell_of(rows, "plain")) << after;
  EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 2) << after;
}

TEST_F(Commands, NewGivesTheSessionTheAgentAndDisplayOfItsCaller) {
  Ran made = velmora({"new", "-d", "agent", "--", "echo", "\"A[$SSH_AUTH_SOCK]D[$DISPLAY]\""},
                     {{"SSH_AUTH_SOCK", "/tmp/agent-test/sock.1"}, {"DISPLAY", ":17"}});
  ASSERT_EQ(made.status, 0) << made.err;
  std::string seen = screen_of("agent", "A[/tmp/agent-test/sock.1]D[:17]");
  EXPECT_NE(seen.find("A[/tmp/agent-test/sock.1]D[:17]"), std::string::npos) << seen;
}

TEST_F(Commands, KillEndsTheSessionAndUnknownKeysFail) {
  TestClient session = create("doomed");
  Ran killed = velmora({"kill", "doomed"});
  EXPECT_EQ(killed.status, 0) << killed.err;
  EXPECT_EQ(velmora({"ls"}).out, "no sessions\n");
  Ran again = velmora({"kill", "doomed"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "velmora: no session named doomed\n");
}

TEST_F(Commands, VersionNamesTheDaemonAndShutdownStopsIt) {
  Ran version = velmora({"version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("protocol 1\n"), std::string::npos) << version.out;
  EXPECT_NE(version.out.find("daemon pid " + std::to_string(m_daemon.process().pid()) + "\n"),
            std::string::npos)
      << version.out;

  Ran stop = velmora({"shutdown"});
  EXPECT_EQ(stop.status, 0) << stop.err;
  auto status = m_daemon.process().wait_exit();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

  EXPECT_EQ(velmora({"ls"}).out, "no sessions\n");
  Ran stopped = velmora({"shutdown"});
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.err, "velmora: no daemon is running\n");
  EXPECT_NE(velmora({"version"}).out.find("daemon: not running"), std::string::npos);
}

TEST_F(Commands, AMissingSocketIsToldApartFromNoDaemon) {
  TestClient session = create("kept");
  const std::string& path = m_daemon.socket_path();
  pid_t pid = m_daemon.process().pid();

  // While the daemon cannot make its file again, the command says what is wrong.
  ASSERT_EQ(::kill(pid, SIGSTOP), 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  Ran stopped = velmora({"ls"});
  ::kill(pid, SIGCONT);
  EXPECT_EQ(stopped.status, 1);
  EXPECT_EQ(stopped.err, "velmora: the daemon's socket is missing: " + path +
                             " has gone, but velmorad (pid " + std::to_string(pid) +
                             ") still runs and has not made it again\n");

  // Otherwise it waits for the daemon to make it again and finds the session there. The file is
  // taken away only once the daemon has written that it listens again: a file taken away
  // between its bind and its check of the new file would make it keep the old socket instead.
  auto listening_lines = [&] {
    std::string text = m_daemon.process().stderr_text();
    int lines = 0;
    for (auto at = text.find("待ち受けています"); at != std::string::npos;
         at = text.find("待ち受けています", at + 1))
      ++lines;
    return lines;
  };
  ASSERT_TRUE(wait_until([&] { return listening_lines() == 2; }))
      << m_daemon.process().stderr_text();
  ASSERT_EQ(::unlink(path.c_str()), 0);
  Ran listed = velmora({"ls", "--json"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("\"key\":\"kept\""), std::string::npos) << listed.out;
}

TEST(CommandSafety, RefusesWhatIsNotOurDaemonsSocket) {
  TempDir dir;
  std::string path = dir.file("fake.sock");
  { std::ofstream(path) << "not a socket"; }
  for (std::vector<std::string> args : {std::vector<std::string>{"ls"}, {"kill", "x"}}) {
    args.insert(args.begin(), VELMORA_PATH);
    Ran ran = run_program(dir, args, {{"VELMORAD_SOCKET", path}});
    EXPECT_EQ(ran.status, 1);
    EXPECT_NE(ran.err.find("is not a socket; refusing to use it"), std::string::npos) << ran.err;
  }
  // The file is left alone.
  EXPECT_EQ(read_file(path), "not a socket");
}

TEST(CommandSafety, AttachNeedsATerminal) {
  TempDir dir;
  Ran ran = run_program(dir, {VELMORA_PATH, "attach"}, {{"VELMORAD_SOCKET", dir.file("s")}});
  EXPECT_EQ(ran.status, 1);
  EXPECT_EQ(ran.err, "velmora: attach needs a terminal on standard input\n");
}

TEST(CommandLineProgram, UsageErrorsExitTwoWithAHint) {
  TempDir dir;
  Ran ran = run_program(dir, {VELMORA_PATH, "frobnicate"});
  EXPECT_EQ(ran.status, 2);
  EXPECT_EQ(ran.err, "velmora: unknown command 'frobnicate' (try 'velmora --help')\n");
  Ran help = run_program(dir, {VELMORA_PATH, "send", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: velmora send", 0), 0u);
}

// A shell with a line editor (bash) whose start-up takes a while after printing a line: typed
// too early, the command would be echoed by the terminal and then again by the line editor.
class NewInBash : public ::testing::Test {
 protected:
  NewInBash()
      : m_daemon(std::map<std::string, std::optional<std::string>>{
            {"SHELL", "/bin/bash"}, {"HOME", m_home.path()}, {"ENV", std::nullopt}}) {}
  void SetUp() override {
    ASSERT_TRUE(m_daemon.listening());
    std::ofstream(m_home.file(".bash_profile")) << "echo starting up\nsleep 0.5\nPS1='in$ '\n";
  }

  TempDir m_home;
  RunningDaemon m_daemon;
};

TEST_F(NewInBash, CommandIsTypedOnceTheShellWaitsForIt) {
  if (::access("/bin/bash", X_OK) != 0) GTEST_SKIP() << "needs /bin/bash";
  Ran made =
      run_program(m_daemon.dir(), {VELMORA_PATH, "new", "-d", "b", "--", "echo", "TYPED-$((40+2))"},
                  {{"VELMORAD_SOCKET", m_daemon.socket_path()}});
  ASSERT_EQ(made.status, 0) << made.err;
  std::string seen = shown_by(m_daemon.socket_path(), "b", "TYPED-42");
  ASSERT_NE(seen.find("TYPED-42"), std::string::npos) << seen;
  std::size_t first = seen.find("echo TYPED-");
  ASSERT_NE(first, std::string::npos) << seen;
  EXPECT_EQ(seen.find("echo TYPED-", first + 1), std::string::npos) << "typed twice:\n" << seen;
  // It was typed at the prompt, not during the start-up.
  EXPECT_LT(seen.find("in$ "), first) << seen;
}

}  // namespace
}  // namespace velmora::testing
