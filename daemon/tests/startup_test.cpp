// The daemon's start-up, seen from outside: status lines, exit statuses, the socket file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon_harness.h"
#include "foreign_user.h"
#include "velmora/core/os_error.h"
#include "velmora/core/socket_path.h"

namespace velmora::testing {
namespace {

std::string listening_line(const std::string& path) {
  return "[velmorad] 待ち受けています: " + path + "\n";
}
std::string bind_failure_line(const std::string& path, const std::string& error) {
  return "[velmorad] 道を作れません（" + path + "）: " + error + "\n";
}

bool exited_with(std::optional<int> status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

// A hello round trip: the daemon at path answers.
bool answers(const std::string& path) {
  TestClient client(path);
  if (!client.send_line(R"({"type":"hello","version":1})")) return false;
  auto line = client.read_line();
  return line && line->find("\"type\":\"hello\"") != std::string::npos;
}

// A socket file with nobody behind it, as a daemon that died leaves it.
void leave_dead_socket(const std::string& path) {
  auto fd = open_stream_socket();
  ASSERT_TRUE(fd);
  ASSERT_EQ(bind_address(fd->get(), unix_address(path)), 0);
}

// Start-up ends with the bind failure and the other user's file is still there, untouched.
void expect_refusal_leaving_the_strangers_file(const TempDir& dir, const std::string& path) {
  DaemonProcess daemon(dir, path);
  EXPECT_TRUE(exited_with(daemon.wait_exit(), 1));
  EXPECT_EQ(daemon.stderr_text(), bind_failure_line(path, OsError(EADDRINUSE).display()));
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, STRANGER_ID);
}

TEST(Startup, ListensOnAnOwnerOnlySocket) {
  RunningDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  EXPECT_EQ(daemon.process().stderr_text(), listening_line(daemon.socket_path()));
  struct stat info {};
  ASSERT_EQ(::lstat(daemon.socket_path().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_TRUE(answers(daemon.socket_path()));
}

TEST(Startup, SecondInstanceSaysAlreadyRunningAndLeavesTheFirstServing) {
  RunningDaemon first;
  ASSERT_TRUE(first.listening());
  DaemonProcess second(first.dir(), first.socket_path());
  EXPECT_TRUE(exited_with(second.wait_exit(), 0));
  EXPECT_EQ(second.stderr_text(), "[velmorad] すでに動いています: " + first.socket_path() + "\n");
  EXPECT_FALSE(first.process().exited());
  EXPECT_TRUE(answers(first.socket_path()));
}

TEST(Startup, ReplacesAStaleSocketOrAnyFileOfOurs) {
  TempDir dir;
  std::string stale = dir.file("stale.sock");
  leave_dead_socket(stale);
  std::string regular = dir.file("regular.sock");
  std::ofstream(regular) << "not a socket";

  for (const std::string& path : {stale, regular}) {
    DaemonProcess daemon(dir, path);
    ASSERT_TRUE(daemon.wait_listening()) << path << ": " << daemon.stderr_text();
    EXPECT_EQ(daemon.stderr_text(), listening_line(path));
    EXPECT_TRUE(answers(path));
  }
}

TEST(Startup, UnusablePathsEndWithTheBindFailureLine) {
  TempDir dir;
  std::string missing = dir.file("no/such/dir/d.sock");
  DaemonProcess in_missing_dir(dir, missing);
  EXPECT_TRUE(exited_with(in_missing_dir.wait_exit(), 1));
  EXPECT_EQ(in_missing_dir.stderr_text(),
            bind_failure_line(missing, "No such file or directory (os error 2)"));

  std::string too_long = dir.file(std::string(200, 'p'));
  DaemonProcess with_long_path(dir, too_long);
  EXPECT_TRUE(exited_with(with_long_path.wait_exit(), 1));
  EXPECT_EQ(with_long_path.stderr_text(),
            bind_failure_line(too_long, "path must be shorter than SUN_LEN"));

  DaemonProcess with_empty_path(dir, "");
  EXPECT_TRUE(exited_with(with_empty_path.wait_exit(), 1));
  EXPECT_EQ(with_empty_path.stderr_text(),
            bind_failure_line("", "No such file or directory (os error 2)"));
}

TEST(Startup, InvalidUtf8InTheVariableMeansTheDefaultPath) {
  std::string path = socket_path(::getuid());
  if (std::filesystem::exists(std::filesystem::symlink_status(path)))
    GTEST_SKIP() << "something already lives at " << path;
  // Removes the socket file that the daemon leaves, however the test ends.
  struct Cleanup {
    std::string path;
    ~Cleanup() { ::unlink(path.c_str()); }
  } cleanup{path};
  TempDir dir;
  DaemonProcess daemon(dir, path, {{"VELMORAD_SOCKET", std::string("\xff\xfe")}});
  ASSERT_TRUE(daemon.wait_listening()) << daemon.stderr_text();
  EXPECT_EQ(daemon.stderr_text(), listening_line(path));
}

// The soft descriptor limit of the daemon's /proc entry, or nothing.
std::optional<std::string> soft_descriptor_limit(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft;
    fields >> soft;
    return soft;
  }
  return std::nullopt;
}

TEST(Startup, RaisesTheSoftDescriptorLimitForManySessions) {
  if (::access("/usr/bin/prlimit", X_OK) != 0) GTEST_SKIP() << "needs prlimit";
  TempDir dir;
  DaemonProcess daemon(dir, dir.file("d.sock"), {}, {"/usr/bin/prlimit", "--nofile=256:4096"});
  ASSERT_TRUE(daemon.wait_listening());
  EXPECT_EQ(soft_descriptor_limit(daemon.pid()), "4096");
}

TEST(Startup, StandardDescriptorsAreOpenedOnDevNull) {
  if (!std::filesystem::exists("/proc/self/fd")) GTEST_SKIP() << "no /proc here";
  TempDir dir;
  std::string path = dir.file("d.sock");
  // The daemon starts with 0, 1 and 2 closed, so nothing is written anywhere; it must still
  // listen, and not on one of those numbers.
  DaemonProcess daemon(dir, path, {}, {"/bin/sh", "-c", "exec \"$0\" <&- >&- 2>&-"});
  ASSERT_TRUE(wait_until([&] { return answers(path); }));
  for (int fd = 0; fd <= 2; ++fd) {
    auto link = std::filesystem::read_symlink("/proc/" + std::to_string(daemon.pid()) + "/fd/" +
                                              std::to_string(fd));
    EXPECT_EQ(link, "/dev/null") << "descriptor " << fd;
  }
}

TEST(Startup, ConnectionThreadThatCannotStartCostsOnlyThatConnection) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "sanitizer run-times do not start under a huge stack limit";
#endif
  TempDir dir;
  std::string path = dir.file("d.sock");
  // glibc gives new threads a stack as large as the stack limit; one of 64 TiB cannot be mapped.
  // Where the limit cannot be raised or is not used for threads, the daemon simply answers.
  DaemonProcess daemon(dir, path, {}, {"/bin/sh", "-c", "ulimit -s 68719476736; exec \"$0\""});
  ASSERT_TRUE(daemon.wait_listening()) << daemon.stderr_text();
  for (int attempt = 0; attempt < 3; ++attempt) {
    TestClient client(path);
    ASSERT_TRUE(client.connected());
    if (client.send_line(R"({"type":"hello","version":1})") && client.read_line(2s))
      GTEST_SKIP() << "threads start here even with a huge stack limit";
    // That connection is closed; the daemon goes on accepting the next.
    EXPECT_TRUE(client.wait_closed(5s)) << attempt;
  }
  EXPECT_FALSE(daemon.exited());
  std::string said = daemon.stderr_text();
  EXPECT_NE(said.find("[velmorad] failed to spawn thread: "), std::string::npos) << said;
}

TEST(Startup, AnotherUsersDaemonIsNeitherTrustedNorRemoved) {
  if (!can_change_user()) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  std::string path = dir.file("d.sock");
  StrangerListener stranger(path);
  ASSERT_TRUE(stranger.ready());

  expect_refusal_leaving_the_strangers_file(dir, path);
}

TEST(Startup, AnotherUsersLeftoverSocketIsNotRemoved) {
  if (!can_change_user()) GTEST_SKIP() << "needs root to act as another user";
  TempDir dir;
  std::string path = dir.file("d.sock");
  leave_dead_socket(path);
  ASSERT_EQ(::lchown(path.c_str(), STRANGER_ID, STRANGER_ID), 0);

  expect_refusal_leaving_the_strangers_file(dir, path);
}

}  // namespace
}  // namespace velmora::testing
