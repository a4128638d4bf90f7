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

class Commands : public ::testing::Test {
 protected:
  Commands() : m_daemon(std::map<std::string, std::optional<std::string>>{{"SHELL", "/bin/sh"}}) {}
  void SetUp() override { ASSERT_TRUE(m_daemon.listening()); }

  Ran velmora(std::vector<std::string> args) {
    args.insert(args.begin(), VELMORA_PATH);
    return run_program(m_daemon.dir(), std::move(args),
                       {{"VELMORAD_SOCKET", m_daemon.socket_path()}});
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
  EXPECT_EQ(json.out.rfind("{\"key\":\"alpha\",\"cwd\":\"/\",\"startedAt\":", 0), 0u) << json.out;
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

  // Otherwise it waits for the daemon to make it again and finds the session there.
  ASSERT_TRUE(wait_until([&] { return std::filesystem::exists(path); }));
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

}  // namespace
}  // namespace velmora::testing
