// Fan-in: several clients, each attached to its own session, all doing bulk output at once;
// the aggregate rate against the single-client rate.

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "bench.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr std::array<int, 3> CLIENTS = {1, 8, 32};
constexpr double MIB = 1024.0 * 1024.0;

// One round: every client sends its command at the same moment; seconds until the last marker.
Result<double> fan_in_round(std::vector<SessionTerminal>& sessions, int clients,
                            const std::string& command) {
  std::mutex mutex;  // guards go, failure
  std::condition_variable start_signal;
  bool go = false;
  std::string failure;
  std::vector<Clock::time_point> finished(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  auto body = [&](int index) {
    {
      std::unique_lock lock(mutex);
      start_signal.wait(lock, [&] { return go; });
    }
    auto& session = sessions[static_cast<std::size_t>(index)];
    MarkerScanner scanner{std::string(CAT_END_MARKER)};
    auto done = session.input(command);
    if (done) done = read_until(session, scanner, Clock::now() + 300s);
    finished[static_cast<std::size_t>(index)] = Clock::now();
    if (!done) {
      std::lock_guard lock(mutex);
      failure = done.error().text();
    }
  };
  try {
    for (int i = 0; i < clients; ++i) threads.emplace_back(body, i);
  } catch (const std::system_error& error) {
    {
      std::lock_guard lock(mutex);
      failure = std::string("failed to spawn thread: ") + error.what();
      go = true;
    }
    start_signal.notify_all();
    for (auto& thread : threads) thread.join();
    return Error(failure);
  }
  Clock::time_point start;
  {
    std::lock_guard lock(mutex);
    go = true;
    start = Clock::now();
  }
  start_signal.notify_all();
  for (auto& thread : threads) thread.join();
  if (!failure.empty()) return Error(failure);
  auto last = *std::max_element(finished.begin(), finished.end());
  return std::chrono::duration<double>(last - start).count();
}

}  // namespace

void measure_fan_in(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "fan-in";
  const int most = CLIENTS.back();
  progress("%s: %d sessions", name.c_str(), most);
  auto daemon = workspace.start_daemon(options, "fanin");
  if (!daemon) return report.failed(name, daemon.error().text());
  std::vector<SessionTerminal> sessions;
  for (int i = 0; i < most; ++i) {
    auto session = SessionTerminal::attach(daemon->socket(), "fan" + std::to_string(i));
    if (!session) return report.failed(name, session.error().text());
    if (auto ready = run_command(*session, "echo RE$((0))ADY", "RE0ADY", Clock::now() + 10s);
        !ready)
      return report.failed(name, ready.error().text());
    sessions.push_back(std::move(*session));
  }
  for (auto& session : sessions) drain(session, 20ms);

  std::vector<std::vector<double>> rates(CLIENTS.size());
  Profiler profiler(options.profile_command, daemon->pid());
  for (int round = 0; round < options.fan_in_rounds; ++round) {
    for (std::size_t step = 0; step < CLIENTS.size(); ++step) {
      // Rotate the order from round to round so that no client count always goes first.
      std::size_t which = (step + static_cast<std::size_t>(round)) % CLIENTS.size();
      int clients = CLIENTS[which];
      std::size_t bytes = options.fan_in_bytes / static_cast<std::size_t>(clients);
      std::string file_name = "fanin-" + std::to_string(clients) + ".txt";
      auto file = workspace.text_file(file_name, bytes);
      if (!file) return report.failed(name, file.error().text());
      auto seconds = fan_in_round(sessions, clients, cat_command(*file));
      if (!seconds) return report.failed(name, seconds.error().text());
      double rate = static_cast<double>(bytes) * clients / MIB / *seconds;
      rates[which].push_back(rate);
      progress("%s: %d client(s): %.0f MiB/s", name.c_str(), clients, rate);
      for (int i = 0; i < clients; ++i) drain(sessions[static_cast<std::size_t>(i)], 20ms);
    }
  }
  double single = median(rates.front());
  for (std::size_t which = 0; which < CLIENTS.size(); ++which) {
    double rate = median(rates[which]);
    bool last = which + 1 == CLIENTS.size();
    report.add(Row{"fan-in " + std::to_string(CLIENTS[which]) +
                       (CLIENTS[which] == 1 ? " client" : " clients") + " (MiB/s)",
                   fixed(rate, 0), which == 0 ? "" : fixed(single, 0),
                   which == 0 ? "" : fixed(rate / single, 3), last ? ">= 0.9 of 1 client" : "",
                   last ? verdict_of(rate / single >= 0.9) : Verdict::Info});
  }
}

}  // namespace velmora::bench
