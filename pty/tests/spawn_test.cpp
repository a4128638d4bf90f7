#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "start_plan.h"
#include "test_support.h"
#include "unix_child.h"

extern char** environ;

namespace velmora::pty {
namespace {

using namespace test_support;

struct ScriptRun {
  std::string output;
  pid_t pid = 0;
};

// Starts the command on a new terminal, releases the slave side and returns everything the
// command writes until the terminal reaches its end.
ScriptRun run_command(CommandBuilder command) {
  PtyPair pair = open_pair();
  auto reader = pair.master->try_clone_reader();
  EXPECT_TRUE(reader) << reader.error().text();
  auto child = pair.slave->spawn_command(std::move(command));
  EXPECT_TRUE(child) << child.error().text();
  if (!child || !reader) return {};
  pair.slave.reset();
  ScriptRun run;
  run.pid = static_cast<pid_t>(*(*child)->process_id());
  run.output = read_to_end(**reader);
  return run;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::string spawn_error(CommandBuilder command) {
  PtyPair pair = open_pair();
  auto child = pair.slave->spawn_command(std::move(command));
  if (child) return "(started)";
  return child.error().text();
}

std::string expected_account_shell() {
  struct passwd* entry = ::getpwuid(::getuid());
  if (entry == nullptr || entry->pw_shell == nullptr) return "/bin/sh";
  std::string shell = entry->pw_shell;
  if (shell.empty() || ::access(shell.c_str(), X_OK) != 0) return "/bin/sh";
  return shell;
}

// A started program that stays alive until its handle kills it.
struct Running {
  PtyPair pair;
  std::unique_ptr<Child> child;
  pid_t pid = 0;
};

std::string exe_of(pid_t pid) {
  char target[256] = {};
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// Starts `sleep 60` and waits until the program image has been replaced.
Running start_sleeper() {
  Running running{open_pair(), nullptr, 0};
  CommandBuilder command("/bin/sleep");
  command.arg("60");
  auto child = running.pair.slave->spawn_command(std::move(command));
  EXPECT_TRUE(child) << child.error().text();
  if (!child) return running;
  running.child = std::move(*child);
  running.pid = static_cast<pid_t>(*running.child->process_id());
  // Wait until sleep is asleep: right after exec the dynamic loader still holds a library open
  // on descriptor 3 for a moment.
  auto asleep = [&] {
    if (exe_of(running.pid).find("sleep") == std::string::npos) return false;
    std::ifstream stat("/proc/" + std::to_string(running.pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'S';
  };
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!asleep() && std::chrono::steady_clock::now() < deadline) ::usleep(2000);
  return running;
}

std::set<int> open_descriptors(pid_t pid) {
  std::set<int> fds;
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  if (DIR* dir = ::opendir(path.c_str())) {
    while (struct dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
    }
    ::closedir(dir);
  }
  return fds;
}

// Fields of /proc/PID/stat after the command name: state, ppid, pgrp, session, tty_nr, tpgid.
std::vector<long> stat_fields(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string state;
  rest >> state;
  std::vector<long> fields(5);
  for (long& field : fields) rest >> field;
  return fields;
}

TEST(Spawn, ChildIsASessionLeaderOnItsControllingTerminal) {
  Running running = start_sleeper();
  ASSERT_NE(running.pid, 0);
  struct stat slave;
  ASSERT_EQ(::fstat(fd_of(*running.pair.slave), &slave), 0);
  std::vector<long> fields = stat_fields(running.pid);
  EXPECT_EQ(fields[0], ::getpid());                        // parent
  EXPECT_EQ(fields[1], running.pid);                       // process group
  EXPECT_EQ(fields[2], running.pid);                       // session
  EXPECT_EQ(fields[3], static_cast<long>(slave.st_rdev));  // controlling terminal
  EXPECT_EQ(fields[4], running.pid);  // foreground process group of that terminal

  // Standard input, output and error are the slave side.
  char name[128] = {};
  ASSERT_EQ(::ttyname_r(fd_of(*running.pair.slave), name, sizeof name), 0);
  for (int fd = 0; fd < 3; ++fd) {
    char target[128] = {};
    std::string link = "/proc/" + std::to_string(running.pid) + "/fd/" + std::to_string(fd);
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, name) << "descriptor " << fd;
  }
  EXPECT_TRUE(running.child->kill());
}

TEST(Spawn, OnlyTheStandardStreamsReachTheProgramWhileOtherThreadsOpenDescriptors) {
  // Descriptors of every kind open in the parent, not close-on-exec, as a careless library
  // might leave them.
  std::vector<OwnedFd> held;
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  held.emplace_back(pipe_fds[0]);
  held.emplace_back(pipe_fds[1]);
  int sockets[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
  held.emplace_back(sockets[0]);
  held.emplace_back(sockets[1]);
  held.emplace_back(::dup(STDOUT_FILENO));
  held.emplace_back(::fcntl(STDOUT_FILENO, F_DUPFD, 900));
  PtyPair other = open_pair();

  // Meanwhile other threads open terminals and start programs of their own.
  std::atomic<bool> stop{false};
  std::vector<std::thread> churn;
  for (int i = 0; i < 2; ++i) {
    churn.emplace_back([&] {
      while (!stop) {
        PtyPair pair = open_pair();
        CommandBuilder command("/bin/true");
        auto child = pair.slave->spawn_command(std::move(command));
        EXPECT_TRUE(child);
      }
    });
  }
  std::vector<Running> sleepers;
  for (int i = 0; i < 6; ++i) sleepers.push_back(start_sleeper());
  stop = true;
  for (std::thread& thread : churn) thread.join();

  for (Running& sleeper : sleepers) {
    ASSERT_NE(sleeper.pid, 0);
    EXPECT_EQ(open_descriptors(sleeper.pid), (std::set<int>{0, 1, 2})) << "pid " << sleeper.pid;
  }
  std::vector<Child*> children;
  for (Running& sleeper : sleepers) children.push_back(sleeper.child.get());
  kill_all(children);
}

TEST(Spawn, SignalDispositionsAreResetAndTheMaskIsInherited) {
  struct sigaction ignore = {}, handle = {}, saved[4];
  ignore.sa_handler = SIG_IGN;
  handle.sa_handler = [](int) {};
  const int changed[4] = {SIGPIPE, SIGINT, SIGUSR1, SIGUSR2};
  ::sigaction(SIGPIPE, &ignore, &saved[0]);  // as the daemon does
  ::sigaction(SIGINT, &handle, &saved[1]);   // handled: default after exec
  ::sigaction(SIGUSR1, &handle, &saved[2]);
  ::sigaction(SIGUSR2, &ignore, &saved[3]);  // ignored: stays ignored across exec
  sigset_t blocked, old_mask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGWINCH);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &old_mask);

  CommandBuilder command("/bin/cat");
  command.arg("/proc/self/status");
  ScriptRun run = run_command(std::move(command));

  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  for (int i = 0; i < 4; ++i) ::sigaction(changed[i], &saved[i], nullptr);

  std::map<std::string, std::string> status;
  for (const std::string& line : lines_of(run.output)) {
    auto colon = line.find(':');
    if (colon != std::string::npos) status[line.substr(0, colon)] = line.substr(colon + 2);
  }
  auto bits = [](std::initializer_list<int> signals) {
    unsigned long long mask = 0;
    for (int sig : signals) mask |= 1ull << (sig - 1);
    return mask;
  };
  // Whatever started the tests may have left signals ignored (make does so); those stay ignored
  // across exec, except the ones the child resets itself. Only the classic signals are compared:
  // the C library reserves the first real-time ones for its own use.
  const unsigned long long classic = (1ull << 31) - 1;
  unsigned long long inherited = 0;
  std::ifstream own_status("/proc/self/status");
  for (std::string line; std::getline(own_status, line);)
    if (line.rfind("SigIgn:", 0) == 0) inherited = std::stoull(line.substr(8), nullptr, 16);
  const unsigned long long reset =
      bits({SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM});
  EXPECT_EQ(std::stoull(status["SigIgn"], nullptr, 16) & classic,
            ((inherited & ~reset) | bits({SIGUSR2})) & classic)
      << run.output;
  EXPECT_EQ(std::stoull(status["SigCgt"], nullptr, 16), 0u);
  EXPECT_EQ(std::stoull(status["SigBlk"], nullptr, 16), bits({SIGWINCH}));
}

TEST(Spawn, EnvironmentIsTheBaseWithAccountShellAndPairsInByteOrder) {
  CommandBuilder command("/usr/bin/env");
  command.env("VELMORA_TEST_B", "first");
  command.env("VELMORA_TEST_A", "");
  command.env("VELMORA_TEST_B", "second");
  command.env("velmora_lower", "x");
  ScriptRun run = run_command(std::move(command));

  std::map<std::string, std::string> expected;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text(*entry);
    auto equals = text.find('=', 1);
    if (equals != std::string::npos) expected[text.substr(0, equals)] = text.substr(equals + 1);
  }
  expected["SHELL"] = expected_account_shell();
  expected["VELMORA_TEST_A"] = "";
  expected["VELMORA_TEST_B"] = "second";
  expected["velmora_lower"] = "x";
  std::vector<std::string> expected_lines;
  for (const auto& [name, value] : expected) expected_lines.push_back(name + "=" + value);
  EXPECT_EQ(lines_of(run.output), expected_lines);
}

TEST(Spawn, ArgumentVectorStartsWithTheProgramTextAsGiven) {
  CommandBuilder command("sh");
  command.env("PATH", "/nonexistent:/bin");
  command.arg("-c");
  command.arg("tr '\\0' '|' < /proc/$$/cmdline");
  command.arg("-l");
  ScriptRun run = run_command(std::move(command));
  EXPECT_EQ(run.output, "sh|-c|tr '\\0' '|' < /proc/$$/cmdline|-l|");
}

TEST(Spawn, WorkingDirectoryIsTheRequestedDirectoryElseHome) {
  TempDir home;
  TempDir work;
  CommandBuilder in_work("/bin/pwd");
  in_work.env("HOME", home.path());
  in_work.cwd(work.path());
  EXPECT_EQ(lines_of(run_command(std::move(in_work)).output),
            std::vector<std::string>{work.path()});

  const std::string file = work.file("plain", "", 0644);
  for (const std::string& unusable : {file, work.path() + "/missing"}) {
    CommandBuilder fallback("/bin/pwd");
    fallback.env("HOME", home.path());
    fallback.cwd(unusable);
    EXPECT_EQ(lines_of(run_command(std::move(fallback)).output),
              std::vector<std::string>{home.path()});
  }

  CommandBuilder missing_home("/bin/pwd");
  missing_home.env("HOME", home.path() + "/missing");
  EXPECT_EQ(spawn_error(std::move(missing_home)), "No such file or directory (os error 2)");
}

TEST(Spawn, RelativeProgramIsFoundInTheWorkingDirectoryThenInPath) {
  TempDir work;
  TempDir bin;
  work.file("local-tool", "#!/bin/sh\necho local \"$PWD\"\n", 0755);
  bin.file("path-tool", "#!/bin/sh\necho from-path\n", 0755);
  // Found in PATH as the command's own environment has it, not the process's.
  CommandBuilder via_path("path-tool");
  via_path.env("PATH", "/nonexistent:" + bin.path());
  via_path.cwd(work.path());
  EXPECT_EQ(lines_of(run_command(std::move(via_path)).output),
            std::vector<std::string>{"from-path"});

  CommandBuilder local("local-tool");
  local.env("PATH", bin.path());
  local.cwd(work.path());
  EXPECT_EQ(lines_of(run_command(std::move(local)).output),
            std::vector<std::string>{"local " + work.path()});

  // A file without "#!" is run by /bin/sh, as execvp does.
  bin.file("bare-script", "echo bare\n", 0755);
  CommandBuilder bare(bin.path() + "/bare-script");
  EXPECT_EQ(lines_of(run_command(std::move(bare)).output), std::vector<std::string>{"bare"});
}

TEST(Spawn, ExecFailureAfterStartIsShownOnTheTerminal) {
  TempDir work;
  work.file("not-executable", "#!/bin/sh\necho never\n", 0644);
  CommandBuilder command("not-executable");
  command.cwd(work.path());
  ScriptRun run = run_command(std::move(command));
  EXPECT_EQ(run.output,
            "velmora: cannot execute " + work.path() + "/not-executable (os error 13)\r\n");
  EXPECT_TRUE(has_exited(run.pid));
}

TEST(Spawn, FailuresAreReportedWithTheirTexts) {
  EXPECT_EQ(spawn_error(CommandBuilder("/no/such/shell")),
            "Unable to spawn /no/such/shell because it doesn't exist on the filesystem or is not "
            "executable (ENOENT: No such file or directory)");

  TempDir work;
  const std::string plain = work.file("plain", "", 0644);
  // Not executable even for root: no execute bit at all.
  EXPECT_EQ(spawn_error(CommandBuilder(plain)),
            "Unable to spawn " + plain +
                " because it doesn't exist on the filesystem or is not executable "
                "(EACCES: Permission denied)");

  CommandBuilder nowhere("no-such-program\xff");
  nowhere.env("PATH", "/bin:/usr/bin");
  nowhere.cwd(work.path());
  EXPECT_EQ(spawn_error(std::move(nowhere)),
            "Unable to spawn no-such-program\xEF\xBF\xBD because it doesn't exist on the "
            "filesystem and was not found in PATH");

  CommandBuilder nul_value("/bin/true");
  nul_value.env("VALUE", std::string("a\0b", 3));
  EXPECT_EQ(spawn_error(std::move(nul_value)), "nul byte found in provided data");

  CommandBuilder nul_argument("/bin/true");
  nul_argument.arg(std::string("\0", 1));
  EXPECT_EQ(spawn_error(std::move(nul_argument)), "nul byte found in provided data");
}

int zombie_children() {
  int count = 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  while (struct dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.empty()) continue;
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string state;
    long parent = 0;
    rest >> state >> parent;
    if (state == "Z" && parent == ::getpid()) ++count;
  }
  ::closedir(proc);
  return count;
}

// Zombies of earlier tests are collected by the background reaper within about 100 ms; one
// left by a failed start would stay.
bool no_zombie_children_within(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (zombie_children() != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    ::usleep(10000);
  }
  return true;
}

TEST(Spawn, FailedStartsLeaveNoProcessAndNoDescriptor) {
  TempDir home;
  CommandBuilder missing_home("/bin/true");
  missing_home.env("HOME", home.path() + "/missing");
  EXPECT_EQ(spawn_error(std::move(missing_home)), "No such file or directory (os error 2)");
  EXPECT_TRUE(no_zombie_children_within(2s));

  PtyPair pair = open_pair();
  const std::set<int> before = open_descriptors(::getpid());
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit lowered = saved;
  lowered.rlim_cur = static_cast<rlim_t>(*before.rbegin() + 16);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<OwnedFd> filler;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.emplace_back(fd);

  // Room for two of the three duplicates of the slave descriptor.
  filler.pop_back();
  filler.pop_back();
  auto no_dup = pair.slave->spawn_command(CommandBuilder("/bin/true"));
  // Room for the duplicates but not for the report pipe.
  filler.pop_back();
  auto no_pipe = pair.slave->spawn_command(CommandBuilder("/bin/true"));
  filler.clear();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_FALSE(no_dup);
  EXPECT_EQ(no_dup.error().text(), "dup of fd " + std::to_string(fd_of(*pair.slave)) + " failed");
  ASSERT_FALSE(no_pipe);
  EXPECT_EQ(no_pipe.error().text(), "Too many open files (os error 24)");
  EXPECT_EQ(open_descriptors(::getpid()), before);
}

TEST(Spawn, ProgramSeesResizesOfTheTerminal) {
  PtyPair pair = open_pair({0, 0, 0, 0});
  auto reader = pair.master->try_clone_reader();
  auto writer = pair.master->take_writer();
  ASSERT_TRUE(reader && writer);
  CommandBuilder command("/bin/sh");
  command.arg("-c");
  command.arg("stty size; read line; stty size");
  auto child = pair.slave->spawn_command(std::move(command));
  ASSERT_TRUE(child) << child.error().text();
  pair.slave.reset();
  EXPECT_NE(read_until_contains(**reader, "0 0\r\n").find("0 0\r\n"), std::string::npos);
  ASSERT_TRUE(pair.master->resize({42, 123, 0, 0}));
  ASSERT_TRUE((*writer)->write_all("go\n"));
  std::string rest = read_to_end(**reader);
  EXPECT_NE(rest.find("42 123\r\n"), std::string::npos) << rest;
}

}  // namespace
}  // namespace velmora::pty
