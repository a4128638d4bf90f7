// Benchmark of the daemon's front, against the real velmorad binary:
//   1. hello round trips on one connection, one request in flight at a time (target: 20,000/s);
//   2. connections opened, sent "list", answered and closed one after another, counting the
//      daemon's descriptors and threads before and after (target: nothing left behind).
// Usage: front_bench [round-trips] [connections]. Prints figures; exit status 1 when a target
// is missed. Descriptor and thread counts need /proc.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "daemon_harness.h"

using namespace velmora::testing;

namespace {

long count_entries(const std::string& dir) {
  std::error_code error;
  long count = 0;
  for (auto it = std::filesystem::directory_iterator(dir, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++count;
  return error ? -1 : count;
}

// User plus system CPU time of a process in seconds, from /proc; negative when unknown.
double cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto end_of_name = text.rfind(')');
  if (end_of_name == std::string::npos) return -1;
  std::istringstream fields(text.substr(end_of_name + 2));
  std::string field;
  long utime = 0, stime = 0;
  // Fields after the name start at the third; utime and stime are the 14th and 15th.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::atol(field.c_str());
    if (i == 15) stime = std::atol(field.c_str());
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
  long round_trips = argc > 1 ? std::atol(argv[1]) : 100'000;
  long connections = argc > 2 ? std::atol(argv[2]) : 1'000;

  RunningDaemon daemon;
  if (!daemon.listening()) {
    std::fprintf(stderr, "velmorad did not start\n");
    return 2;
  }
  bool ok = true;

  // 1. Round trips.
  {
    TestClient client = daemon.client();
    const std::string request = "{\"type\":\"hello\",\"version\":1}\n";
    double cpu_before = cpu_seconds(daemon.process().pid());
    auto start = Clock::now();
    for (long i = 0; i < round_trips; ++i) {
      if (!client.send_raw(request) || !client.read_line()) {
        std::fprintf(stderr, "round trip %ld failed\n", i);
        return 2;
      }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double rate = static_cast<double>(round_trips) / seconds;
    std::printf("hello round trips: %ld in %.3f s = %.0f per second (target 20000)\n", round_trips,
                seconds, rate);
    double cpu = cpu_seconds(daemon.process().pid()) - cpu_before;
    if (cpu_before >= 0)
      std::printf("daemon CPU time: %.3f s = %.1f us per round trip\n", cpu,
                  cpu * 1e6 / static_cast<double>(round_trips));
    ok = ok && rate >= 20'000;
  }

  // 2. Connections, one after another.
  {
    std::string proc = "/proc/" + std::to_string(daemon.process().pid());
    // Let the round-trip connection's thread finish first.
    long fds_before = -1, threads_before = -1;
    wait_until([&] { return count_entries(proc + "/task") == 1; }, 5s);
    fds_before = count_entries(proc + "/fd");
    threads_before = count_entries(proc + "/task");

    auto start = Clock::now();
    for (long i = 0; i < connections; ++i) {
      TestClient client = daemon.client();
      if (!client.send_line("{\"type\":\"list\"}") || !client.read_line()) {
        std::fprintf(stderr, "connection %ld failed\n", i);
        return 2;
      }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Connection threads end right after their peer closes; give the last ones a moment.
    wait_until(
        [&] {
          return count_entries(proc + "/task") <= threads_before &&
                 count_entries(proc + "/fd") <= fds_before;
        },
        5s);
    long fds_after = count_entries(proc + "/fd");
    long threads_after = count_entries(proc + "/task");
    std::printf("%ld connections with list: %.3f s = %.0f per second\n", connections, seconds,
                static_cast<double>(connections) / seconds);
    std::printf("daemon descriptors before %ld after %ld; threads before %ld after %ld\n",
                fds_before, fds_after, threads_before, threads_after);
    ok = ok && fds_before >= 0 && fds_after == fds_before && threads_after == threads_before;
  }

  std::printf("%s\n", ok ? "all targets met" : "TARGET MISSED");
  return ok ? 0 : 1;
}
