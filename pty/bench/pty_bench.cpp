// Start latency of spawn_command as the parent's memory grows, the cost of a plain fork for
// comparison, and how long kill_all takes for many sessions.
//
// Usage: pty_bench [--quick]

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"
#include "velmora/pty/child.h"
#include "velmora/pty/command.h"
#include "velmora/pty/pty.h"

namespace {

using Clock = std::chrono::steady_clock;
using velmora::pty::Child;
using velmora::pty::CommandBuilder;
using velmora::pty::PtyPair;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Summary {
  double median;
  double p90;
};

Summary summarize(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 9 / 10]};
}

// Memory the parent has touched, so that every page has a page-table entry to copy on fork.
class Ballast {
 public:
  explicit Ballast(std::size_t bytes) : m_bytes(bytes) {
    if (bytes == 0) return;
    m_memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m_memory == MAP_FAILED) {
      m_memory = nullptr;
      return;
    }
    // No transparent huge pages: a daemon's heap is mostly small pages.
    ::madvise(m_memory, bytes, MADV_NOHUGEPAGE);
    std::memset(m_memory, 1, bytes);
  }
  ~Ballast() {
    if (m_memory != nullptr) ::munmap(m_memory, m_bytes);
  }
  bool ok() const { return m_bytes == 0 || m_memory != nullptr; }

 private:
  std::size_t m_bytes;
  void* m_memory = nullptr;
};

// spawn_command of /bin/true: from the call until it returns the handle.
Summary spawn_latency(int rounds) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    auto pair = velmora::pty::native_pty_system()->openpty({24, 80, 0, 0});
    if (!pair) return {-1, -1};
    CommandBuilder command("/bin/true");
    auto start = Clock::now();
    auto child = pair->slave->spawn_command(std::move(command));
    auto end = Clock::now();
    if (!child) {
      std::fprintf(stderr, "spawn failed: %s\n", child.error().text().c_str());
      return {-1, -1};
    }
    samples.push_back(micros(end - start));
    int status;
    ::waitpid(static_cast<pid_t>(*(*child)->process_id()), &status, 0);
  }
  return summarize(samples);
}

// fork, then the child exits at once: the part of a fork-based start that grows with memory.
Summary fork_latency(int rounds) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    auto end = Clock::now();
    if (pid < 0) return {-1, -1};
    samples.push_back(micros(end - start));
    int status;
    ::waitpid(pid, &status, 0);
  }
  return summarize(samples);
}

void kill_all_sessions(int sessions) {
  std::vector<PtyPair> pairs;
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < sessions; ++i) {
    auto pair = velmora::pty::native_pty_system()->openpty({24, 80, 0, 0});
    if (!pair) break;
    CommandBuilder command("/bin/sh");
    command.arg("-c");
    // Half of them ignore SIGHUP and need the SIGKILL.
    command.arg(i % 2 == 0 ? "exec sleep 60" : "trap '' HUP; exec sleep 60");
    auto child = pair->slave->spawn_command(std::move(command));
    if (!child) break;
    children.push_back(std::move(*child));
    pairs.push_back(std::move(*pair));
  }
  // Let the shells reach their trap.
  ::usleep(500 * 1000);
  std::vector<Child*> raw;
  for (auto& child : children) raw.push_back(child.get());
  auto start = Clock::now();
  velmora::pty::kill_all(raw);
  auto end = Clock::now();
  std::printf("kill_all, %zu sessions (half ignore SIGHUP): %.0f ms\n", raw.size(),
              micros(end - start) / 1000);
  std::vector<pid_t> pids;
  for (auto& child : children) pids.push_back(static_cast<pid_t>(*child->process_id()));
  children.clear();
  // The SIGKILLed half is collected by the background reaper once the handles are released.
  auto reap_start = Clock::now();
  std::size_t uncollected = pids.size();
  while (uncollected > 0 && Clock::now() - reap_start < std::chrono::seconds(5)) {
    uncollected = 0;
    for (pid_t pid : pids) {
      siginfo_t info = {};
      if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
        ++uncollected;
      }
    }
    if (uncollected > 0) ::usleep(5 * 1000);
  }
  std::printf("  %zu left uncollected; the last collected %.0f ms after release\n", uncollected,
              micros(Clock::now() - reap_start) / 1000);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  const int rounds = quick ? 20 : 200;
  std::printf("child start shares the parent's memory: %s\n",
              velmora::pty::platform::start_child_shares_memory() ? "yes" : "no (fork)");
  const std::size_t gib = std::size_t{1} << 30;
  (void)spawn_latency(5);  // warm-up: first use of the user database, the reaper, page cache
  for (std::size_t size : {std::size_t{0}, gib, 4 * gib}) {
    Ballast ballast(size);
    if (!ballast.ok()) {
      std::printf("could not touch %zu GiB, skipped\n", size / gib);
      continue;
    }
    Summary spawn = spawn_latency(rounds);
    Summary fork = fork_latency(quick ? 10 : 50);
    std::printf(
        "parent +%zu GiB touched: spawn_command median %.0f us (p90 %.0f); plain fork median %.0f "
        "us (p90 %.0f)\n",
        size / gib, spawn.median, spawn.p90, fork.median, fork.p90);
  }
  kill_all_sessions(quick ? 50 : 500);
  return 0;
}
