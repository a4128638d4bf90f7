// The shell completions in real shells against a real daemon: commands, options and the keys
// of the sessions that run.

#include <gtest/gtest.h>
#include <unistd.h>

#include "client_harness.h"

namespace velmora::testing {
namespace {

const std::string COMPLETIONS = std::string(VELMORA_SOURCE_DIR) + "/contrib/completions";

bool have_program(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

class Completion : public ::testing::Test {
 protected:
  Completion()
      : m_daemon(std::map<std::string, std::optional<std::string>>{{"SHELL", "/bin/sh"}}) {}

  void SetUp() override {
    ASSERT_TRUE(m_daemon.listening());
    for (const char* key : {"alpha", "beta", "with space"}) {
      Ran made = run(VELMORA_PATH, {"new", "-d", key});
      ASSERT_EQ(made.status, 0) << made.err;
    }
  }

  // Runs a program with velmora on PATH, the test's daemon, and a home of its own (fish keeps
  // its state there).
  Ran run(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    const char* path = std::getenv("PATH");
    return run_program(
        m_daemon.dir(), args,
        {{"VELMORAD_SOCKET", m_daemon.socket_path()},
         {"PATH", directory_of(VELMORA_PATH) + ":" + (path ? path : "/usr/bin:/bin")},
         {"HOME", m_daemon.dir().path()},
         {"XDG_CONFIG_HOME", m_daemon.dir().file("config")},
         {"XDG_DATA_HOME", m_daemon.dir().file("data")}});
  }

  // What bash's completion offers for the words, the last being the one completed.
  std::string bash(const std::string& words) {
    return run("/bin/bash",
               {"--norc", "--noprofile", "-c",
                "source " + COMPLETIONS + "/velmora.bash; COMP_WORDS=(" + words +
                    "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _velmora; "
                    "for word in \"${COMPREPLY[@]}\"; do printf '%s\\n' \"$word\"; done"})
        .out;
  }

  // What fish offers for the line (candidates without their descriptions).
  std::string fish(const std::string& line) {
    Ran ran = run("fish", {"--no-config", "-c",
                           "source " + COMPLETIONS + "/velmora.fish; complete -C '" + line + "'"});
    std::string names;
    std::size_t at = 0;
    while (at < ran.out.size()) {
      std::size_t end = ran.out.find('\n', at);
      if (end == std::string::npos) end = ran.out.size();
      std::string entry = ran.out.substr(at, end - at);
      names += entry.substr(0, entry.find('\t')) + "\n";
      at = end + 1;
    }
    return names;
  }

  RunningDaemon m_daemon;
};

TEST_F(Completion, BashOffersLiveKeysCommandsAndOptions) {
  if (!have_program("/bin/bash")) GTEST_SKIP() << "needs /bin/bash";
  EXPECT_EQ(bash("velmora attach ''"), "alpha\nbeta\nwith\\ space\n");
  EXPECT_EQ(bash("velmora kill b"), "beta\n");
  EXPECT_EQ(bash("velmora -e ^a ''"), "alpha\nbeta\nwith\\ space\n");
  // After send's key comes text for the session, and new's key is a new one.
  EXPECT_EQ(bash("velmora send alpha ''"), "");
  EXPECT_EQ(bash("velmora new ''"), "");
  EXPECT_EQ(bash("velmora s"), "send\nshutdown\n");
  EXPECT_EQ(bash("velmora attach --e"), "--existing\n");
  EXPECT_EQ(bash("velmora new k -"), "-d\n--detached\n-e\n-E\n--no-redraw\n--no-history\n--help\n--\n");
  EXPECT_NE(bash("velmora new k -- ech").find("echo\n"), std::string::npos);
}

TEST_F(Completion, FishOffersLiveKeysCommandsAndOptions) {
  if (run("fish", {"--version"}).status != 0) GTEST_SKIP() << "needs fish";
  std::string keys = fish("velmora attach ");
  for (const char* key : {"alpha\n", "beta\n", "with space\n"})
    EXPECT_NE(keys.find(key), std::string::npos) << keys;
  EXPECT_EQ(fish("velmora kill b"), "beta\n");
  EXPECT_EQ(fish("velmora send alpha "), "");
  EXPECT_NE(fish("velmora ").find("new\n"), std::string::npos);
  EXPECT_NE(fish("velmora new k -").find("--detached\n"), std::string::npos);
}

TEST_F(Completion, ZshOffersLiveKeysAndCommands) {
  if (run("zsh", {"-fc", "zmodload zsh/zpty"}).status != 0) GTEST_SKIP() << "needs zsh";
  std::string driver = std::string(VELMORA_SOURCE_DIR) + "/client/tests/zsh_complete.zsh";
  std::string shown =
      run("zsh", {"-f", driver, COMPLETIONS, "velmora attach ", "with\\ space"}).out;
  for (const char* key : {"alpha", "beta", "with\\ space"})
    EXPECT_NE(shown.find(key), std::string::npos) << shown;
  shown = run("zsh", {"-f", driver, COMPLETIONS, "velmora shu", "shutdown"}).out;
  EXPECT_NE(shown.find("velmora shutdown"), std::string::npos) << shown;
}

}  // namespace
}  // namespace velmora::testing
