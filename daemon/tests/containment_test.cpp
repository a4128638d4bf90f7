// Whatever one session or client does, the daemon and the other shells live on: process limits,
// endless request lines, jobs that outlive their shell, cleaners that delete the socket file.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "foreign_user.h"
#include "shell_client.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

std::string proc_path(pid_t pid, const std::string& entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

// A "Name: value kB" field of /proc/<pid>/status, in KiB; -1 when it cannot be read.
long status_kib(pid_t pid, const std::string& name) {
  std::string status = read_file(proc_path(pid, "status"));
  auto at = status.find(name + ":");
  if (at == std::string::npos) return -1;
  return std::strtol(status.c_str() + at + name.size() + 1, nullptr, 10);
}

std::size_t entries(const std::string& dir) {
  std::error_code error;
  std::size_t count = 0;
  for (auto it = fs::directory_iterator(dir, error); !error && it != fs::directory_iterator();
       it.increment(error))
    ++count;
  return count;
}

struct Counts {
  std::size_t threads = 0;
  std::size_t descriptors = 0;
  bool operator==(const Counts&) const = default;
};

Counts counts_of(pid_t pid) { return {entries(proc_path(pid, "task")), entries(proc_path(pid, "fd"))}; }

std::string describe(const Counts& counts) {
  return std::to_string(counts.threads) + " threads, " + std::to_string(counts.descriptors) +
         " descriptors";
}

// ---------------------------------------------------------------------------------------------
// The per-user process limit.

// The processes of uid, from /proc.
std::vector<pid_t> processes_of(uid_t uid) {
  std::vector<pid_t> found;
  std::error_code error;
  for (auto it = fs::directory_iterator("/proc", error); !error && it != fs::directory_iterator();
       it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    struct stat info {};
    if (::stat(it->path().c_str(), &info) == 0 && info.st_uid == uid)
      found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  return found;
}

// An unprivileged account made for one test and removed with every process it still has.
class TemporaryUser {
 public:
  TemporaryUser() : m_name("velmora-t" + std::to_string(::getpid())) {
    std::string add = "useradd -M -N -s /bin/sh -d /nonexistent " + m_name + " >/dev/null 2>&1";
    if (std::system(add.c_str()) != 0) return;
    if (passwd* entry = ::getpwnam(m_name.c_str())) {
      m_uid = entry->pw_uid;
      m_gid = entry->pw_gid;
      m_made = true;
    }
  }
  ~TemporaryUser() {
    if (!m_made) return;
    for (int round = 0; round < 50 && !processes_of(m_uid).empty(); ++round) {
      for (pid_t pid : processes_of(m_uid)) ::kill(pid, SIGKILL);
      std::this_thread::sleep_for(20ms);
    }
    std::string del = "userdel " + m_name + " >/dev/null 2>&1";
    (void)std::system(del.c_str());
  }
  TemporaryUser(const TemporaryUser&) = delete;
  TemporaryUser& operator=(const TemporaryUser&) = delete;

  bool made() const { return m_made; }
  uid_t uid() const { return m_uid; }
  gid_t gid() const { return m_gid; }

  // A connection made as this user (the daemon serves only its own user).
  TestClient connect(const std::string& path) const {
    if (::setegid(m_gid) != 0 || ::seteuid(m_uid) != 0) return TestClient(OwnedFd());
    OwnedFd fd = connect_unix(path);
    if (::seteuid(0) != 0 || ::setegid(0) != 0) std::abort();
    return TestClient(std::move(fd));
  }

 private:
  std::string m_name;
  uid_t m_uid = 0;
  gid_t m_gid = 0;
  bool m_made = false;
};

TEST(ProcessLimit, AFullLimitCostsOnlyNewConnections) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make an unprivileged user";
  if (::access("/usr/bin/setpriv", X_OK) != 0 || ::access("/usr/bin/prlimit", X_OK) != 0)
    GTEST_SKIP() << "needs setpriv and prlimit";
  TemporaryUser user;
  if (!user.made()) GTEST_SKIP() << "cannot add a user here";
  TempDir dir;
  TempDir home;
  ASSERT_EQ(::chown(dir.path().c_str(), user.uid(), user.gid()), 0);
  ASSERT_EQ(::chown(home.path().c_str(), user.uid(), user.gid()), 0);
  std::string path = dir.file("d.sock");
  // Tasks count, threads included: the daemon, two sessions and room for a few more.
  DaemonProcess daemon(dir, path,
                       {{"SHELL", "/bin/sh"}, {"HOME", home.path()}, {"ENV", std::nullopt},
                        {"PS1", "$ "}},
                       {"/usr/bin/setpriv", "--reuid=" + std::to_string(user.uid()),
                        "--regid=" + std::to_string(user.gid()), "--clear-groups",
                        "/usr/bin/prlimit", "--nproc=40"});
  ASSERT_TRUE(daemon.wait_listening()) << daemon.stderr_text();

  ShellClient calm(user.connect(path));
  ShellClient bomb(user.connect(path));
  ASSERT_TRUE(calm.attached("calm"));
  auto bomb_shell = bomb.attached("bomb");
  ASSERT_TRUE(bomb_shell);
  // Background jobs until fork fails: from then on nothing of this user can start.
  bomb.type("bomb", "while :; do sleep 1000 & done\r");
  ASSERT_TRUE(bomb.wait_output("bomb", "fork", 30s)) << bomb.output("bomb");

  // A new connection finds no thread: it is closed, the daemon says why and goes on.
  TestClient refused = user.connect(path);
  ASSERT_TRUE(refused.connected());
  EXPECT_TRUE(refused.wait_closed(10s));
  EXPECT_TRUE(wait_until([&] {
    return daemon.stderr_text().find("[velmorad] failed to spawn thread: ") != std::string::npos;
  }));
  EXPECT_FALSE(daemon.exited());
  // The other session still answers (a builtin needs no new process), and a new session on an
  // existing connection is refused with a reason.
  calm.type("calm", "echo st''ill alive\r");
  EXPECT_TRUE(calm.wait_output("calm", "still alive"));
  auto refused_session = calm.attach("more");
  ASSERT_TRUE(refused_session);
  ASSERT_TRUE(std::holds_alternative<ErrorEvent>(*refused_session));
  EXPECT_EQ(std::get<ErrorEvent>(*refused_session).message.rfind("シェルを起こせません: ", 0), 0u);

  // Once the jobs are gone (and collected by their shell), everything works again.
  // Every job of that shell, also one that had not yet become sleep when fork began to fail.
  for (pid_t pid : processes_of(user.uid()))
    if (parent_of(pid) == static_cast<pid_t>(bomb_shell->pid)) ::kill(pid, SIGKILL);
  bomb.type("bomb", "wait; echo col''lected\r");
  ASSERT_TRUE(bomb.wait_output("bomb", "collected")) << bomb.output("bomb");
  ShellClient later(user.connect(path));
  ASSERT_TRUE(later.hello());
  auto fresh = later.attached("fresh");
  ASSERT_TRUE(fresh);
  later.type("fresh", "echo wor''king\r");
  EXPECT_TRUE(later.wait_output("fresh", "working"));
  auto rows = later.list();
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 3u);
}

// ---------------------------------------------------------------------------------------------
// Request lines.

TEST(LongLine, IsDroppedWithOneErrorAndBoundedMemory) {
  if (!have_proc()) GTEST_SKIP() << "needs /proc";
  RunningDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  pid_t pid = daemon.process().pid();
  TestClient client = daemon.client();
  ASSERT_TRUE(client.send_line(R"({"type":"hello","version":1})"));
  ASSERT_TRUE(client.read_line());
  long baseline = status_kib(pid, "VmRSS");
  ASSERT_GT(baseline, 0);

  constexpr std::size_t TOTAL = 300u << 20;
  constexpr std::size_t CHUNK = 1u << 20;
  std::atomic<std::size_t> sent{0};
  std::thread sender([&] {
    std::string chunk(CHUNK, 'a');
    if (!client.send_raw(R"({"type":"hello","version":1,"pad":")")) return;
    while (sent.load() < TOTAL && client.send_raw(chunk)) sent += CHUNK;
    client.send_raw("\"}\n");
  });
  // The first 64 MiB are held as for any line that may still end in time; beyond them nothing
  // more is kept.
  long peak = 0;
  long peak_beyond = 0;
  while (sent.load() < TOTAL) {
    long rss = status_kib(pid, "VmRSS");
    peak = std::max(peak, rss);
    if (sent.load() >= (160u << 20)) peak_beyond = std::max(peak_beyond, rss);
    std::this_thread::sleep_for(2ms);
  }
  sender.join();
  ASSERT_EQ(sent.load(), TOTAL);

  // Exactly one error for the line, then the connection goes on.
  ASSERT_TRUE(client.send_line(R"({"type":"hello","version":1})"));
  EXPECT_EQ(client.read_event(60s),
            Event(ErrorEvent{"読み取りに失敗: line longer than 67108864 bytes"}));
  auto next = client.read_event();
  ASSERT_TRUE(next);
  EXPECT_TRUE(std::holds_alternative<HelloEvent>(*next));
  long after = status_kib(pid, "VmRSS");
  std::printf("RSS of the daemon (KiB): before %ld, peak %ld, peak beyond 160 MiB sent %ld, after "
              "%ld\n",
              baseline, peak, peak_beyond, after);
  if (SANITIZED) return;  // their allocators keep freed memory
  EXPECT_LT(peak - baseline, 200 * 1024);
  EXPECT_LT(peak_beyond - baseline, 8 * 1024);
  EXPECT_LT(after - baseline, 8 * 1024);
}

TEST(LongLine, JustBelowTheBoundIsServed) {
  RunningDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  TestClient client = daemon.client();
  // Blanks after the JSON value are part of the line and valid.
  ASSERT_TRUE(client.send_line(R"({"type":"hello","version":1})" + std::string(60u << 20, ' ')));
  auto reply = client.read_event(60s);
  ASSERT_TRUE(reply);
  EXPECT_TRUE(std::holds_alternative<HelloEvent>(*reply));
}

// ---------------------------------------------------------------------------------------------
// Jobs that outlive their shell.

// Starts a job in the session's shell that ignores SIGHUP and runs `writes` (which prints tick
// lines) on the terminal until the terminal is hung up; it then creates the file mark.
bool start_outliving_job(ShellClient& client, const std::string& key, const std::string& writes,
                         const std::string& mark) {
  client.type(key,
              "sh -c 'trap \"\" HUP; " + writes + " 2>/dev/null; echo hung >" + mark + "' &\r");
  return client.wait_output(key, "tick\r\ntick");
}

// Once the session has ended: the daemon's threads and descriptors are back to `before`, the
// job's terminal has been hung up and no session is listed.
void expect_released(ShellDaemon& daemon, ShellClient& client, const Counts& before,
                     const std::string& mark, Clock::time_point since, const std::string& what) {
  pid_t pid = daemon.process().pid();
  EXPECT_TRUE(wait_until([&] { return counts_of(pid) == before; }, 3s))
      << "before " << describe(before) << ", now " << describe(counts_of(pid));
  auto released = Clock::now() - since;
  EXPECT_TRUE(wait_until([&] { return fs::exists(mark); }, 3s)) << "the job's terminal stays up";
  std::printf("%s: back to %s after %lld ms\n", what.c_str(), describe(counts_of(pid)).c_str(),
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(released).count()));
  auto rows = client.list();
  ASSERT_TRUE(rows);
  EXPECT_TRUE(rows->empty());
}

TEST(OutlivingJob, CloseReleasesTheTerminalAndHangsTheJobUp) {
  if (!have_proc()) GTEST_SKIP() << "needs /proc";
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  ASSERT_TRUE(client.hello());
  Counts before = counts_of(daemon.process().pid());

  ASSERT_TRUE(client.attached("job"));
  std::string mark = daemon.dir().file("hung");
  ASSERT_TRUE(start_outliving_job(client, "job", "while echo tick; do sleep 0.1; done", mark));
  std::printf("with the session: %s\n", describe(counts_of(daemon.process().pid())).c_str());

  auto closed_at = Clock::now();
  ASSERT_TRUE(client.send(CloseRequest{"job"}));
  EXPECT_TRUE(client.next_is_exited("job"));
  expect_released(daemon, client, before, mark, closed_at, "close");
}

TEST(OutlivingJob, AShellThatExitsEndsItsSessionWhileItsJobHoldsTheTerminal) {
  if (!have_proc()) GTEST_SKIP() << "needs /proc";
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  ShellClient client(daemon.socket_path());
  ASSERT_TRUE(client.hello());
  Counts before = counts_of(daemon.process().pid());

  // One job writes now and then, one as fast as it can: what is left to read after the exit must
  // not keep the session going.
  int round = 0;
  for (const std::string writes : {"while echo tick; do sleep 0.1; done", "yes tick"}) {
    SCOPED_TRACE(writes);
    const std::string key = "job" + std::to_string(++round);
    ASSERT_TRUE(client.attached(key));
    std::string mark = daemon.dir().file("hung" + std::to_string(round));
    ASSERT_TRUE(start_outliving_job(client, key, writes, mark));

    // The user ends the shell: its last words arrive, then exited.
    auto exited_at = Clock::now();
    client.type(key, "echo by''e; exit\r");
    ASSERT_TRUE(client.next_is_exited(key, 10s));
    EXPECT_NE(client.output(key).find("bye"), std::string::npos);
    expect_released(daemon, client, before, mark, exited_at, "exit beside " + writes);
  }
}

// ---------------------------------------------------------------------------------------------
// The socket file.

struct stat status_of(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) info.st_ino = 0;
  return info;
}

// A hello round trip: a daemon listens at path.
bool answers(const std::string& path) {
  TestClient client(path);
  if (!client.send_line(R"({"type":"hello","version":1})")) return false;
  auto reply = client.read_event(2s);
  return reply && std::holds_alternative<HelloEvent>(*reply);
}

std::size_t listening_lines(DaemonProcess& daemon) {
  std::string text = daemon.stderr_text();
  std::size_t count = 0;
  for (auto at = text.find("待ち受けています"); at != std::string::npos;
       at = text.find("待ち受けています", at + 1))
    ++count;
  return count;
}

TEST(SocketFile, ADeletedSocketIsMadeAgainWithTheSessionsStillThere) {
  ShellDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  const std::string& path = daemon.socket_path();
  ShellClient client(path);
  auto kept = client.attached("kept");
  ASSERT_TRUE(kept);

  ASSERT_EQ(::unlink(path.c_str()), 0);
  auto deleted_at = Clock::now();
  ASSERT_TRUE(wait_until([&] { return status_of(path).st_ino != 0; }));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - deleted_at);
  std::printf("the deleted socket was there again after %lld ms\n",
              static_cast<long long>(took.count()));
  EXPECT_LT(took, 5s);
  struct stat info = status_of(path);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_TRUE(wait_until([&] { return listening_lines(daemon.process()) == 2; }));

  // The file appears at bind, a moment before the socket listens.
  ASSERT_TRUE(wait_until([&] { return answers(path); }));
  ShellClient later(path);
  auto rows = later.list();
  ASSERT_TRUE(rows);
  ASSERT_TRUE(find_row(*rows, "kept"));
  EXPECT_EQ(find_row(*rows, "kept")->pid, kept->pid);
  // The connection made before still works too.
  client.type("kept", "echo bo''th\r");
  EXPECT_TRUE(client.wait_output("kept", "both"));

  // And a second start still finds the first daemon.
  DaemonProcess second(daemon.dir(), path);
  auto status = second.wait_exit();
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  EXPECT_EQ(second.stderr_text(), "[velmorad] すでに動いています: " + path + "\n");
}

TEST(SocketFile, AnOldSocketFileIsTouched) {
  RunningDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  const std::string& path = daemon.socket_path();
  // Two hours old, as a cleaner would see a socket that nothing touches.
  timespec old[2] = {{std::time(nullptr) - 7200, 0}, {std::time(nullptr) - 7200, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
  EXPECT_TRUE(
      wait_until([&] { return std::time(nullptr) - status_of(path).st_mtime < 60; }, 10s));
}

TEST(SocketFile, ASocketThatAnotherPutThereIsLeftAlone) {
  RunningDaemon daemon;
  ASSERT_TRUE(daemon.listening());
  const std::string& path = daemon.socket_path();
  // Someone else binds the path in the moment after the file went.
  OwnedFd other;
  for (int attempt = 0; attempt < 20 && !other; ++attempt) {
    ::unlink(path.c_str());
    auto fd = listen_owner_only(path, Threads::running);
    if (fd) other = std::move(*fd);
  }
  ASSERT_TRUE(other);
  ino_t theirs = status_of(path).st_ino;
  // Several of the daemon's checks pass; the file stays theirs.
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(status_of(path).st_ino, theirs);
  EXPECT_FALSE(daemon.process().exited())
      << "wait status " << daemon.process().wait_exit().value_or(-1);
  // Once it is gone as well, the daemon binds the path again.
  other.reset();
  ASSERT_EQ(::unlink(path.c_str()), 0);
  EXPECT_TRUE(wait_until([&] { return answers(path); }));
}

}  // namespace
}  // namespace velmora::testing
