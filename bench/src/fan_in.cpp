// Fan-in: several shells catting at once, each behind its own session: at the protocol level
// (one connection each, in this process), through its own `velmora attach` on its own terminal,
// through the bare relay for the floor of any client, and, as the baseline, as many raw
// pseudo-terminals; aggregate MiB/s, interleaved round by round.

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

// One round: the first `clients` terminals are told to cat file at the same moment; seconds
// until the last marker.
Result<double> fan_in_round(const std::vector<Terminal*>& terminals, int clients,
                            const std::string& file) {
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
    Terminal& terminal = *terminals[static_cast<std::size_t>(index)];
    auto command = cat_command(file);
    MarkerScanner scanner(command.marker);
    auto done = terminal.input(command.line);
    if (done) done = read_until(terminal, scanner, Clock::now() + 300s);
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

// One way of reaching the shells, with its aggregate rates per client count, round by round.
struct FanInSide {
  explicit FanInSide(std::string side_label) : label(std::move(side_label)) {}

  std::string label;
  std::vector<Terminal*> terminals;
  std::array<std::vector<double>, CLIENTS.size()> rates;
  std::string failure;
};

// Per round, the side's aggregate rate over the raw terminals' with the same number of clients.
std::vector<double> paired_ratios(const FanInSide& side, const FanInSide& raw, std::size_t which) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < side.rates[which].size() && i < raw.rates[which].size(); ++i)
    ratios.push_back(side.rates[which][i] / raw.rates[which][i]);
  return ratios;
}

std::string plural(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

void measure_fan_in(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "fan-in";
  const int most = CLIENTS.back();
  progress("%s: %d sessions each way", name.c_str(), most);
  auto daemon = workspace.start_daemon(options, "fanin");
  if (!daemon) return report.failed(name, daemon.error().text());

  std::vector<SessionTerminal> sessions;
  std::vector<RawTerminal> raw_shells, clients, relays;
  std::string client_missing = options.client.empty() ? "no velmora client" : "";
  std::string relay_missing = options.relay.empty() ? "no velmora_relay" : "";
  for (int i = 0; i < most; ++i) {
    auto session = SessionTerminal::attach(daemon->socket(), "fan" + std::to_string(i));
    if (!session) return report.failed(name, session.error().text());
    sessions.push_back(std::move(*session));
    auto shell = start_raw_shell(options.shell);
    if (!shell) return report.failed(name, "raw: " + shell.error().text());
    raw_shells.push_back(std::move(*shell));
    if (client_missing.empty()) {
      auto client =
          start_velmora_client(options.client, daemon->socket(), "fan-client" + std::to_string(i));
      if (client)
        clients.push_back(std::move(*client));
      else
        client_missing = "velmora attach: " + client.error().text();
    }
    if (relay_missing.empty()) {
      auto relay = start_relay(options.relay, options.shell);
      if (relay)
        relays.push_back(std::move(*relay));
      else
        relay_missing = "velmora_relay: " + relay.error().text();
    }
  }
  FanInSide protocol("velmorad"), raw("raw"), through("client"), relayed("relay");
  for (auto& session : sessions) protocol.terminals.push_back(&session);
  for (auto& shell : raw_shells) raw.terminals.push_back(&shell);
  if (client_missing.empty())
    for (auto& client : clients) through.terminals.push_back(&client);
  if (relay_missing.empty())
    for (auto& relay : relays) relayed.terminals.push_back(&relay);
  for (FanInSide* side : {&protocol, &raw, &through, &relayed}) {
    for (Terminal* terminal : side->terminals) {
      if (auto ready = wait_ready(*terminal, 20ms); !ready) {
        side->failure = ready.error().text();
        break;
      }
    }
  }
  if (!protocol.failure.empty()) return report.failed(name, protocol.failure);
  if (!raw.failure.empty()) return report.failed(name, "raw: " + raw.failure);
  if (through.terminals.empty()) through.failure = client_missing;
  if (relayed.terminals.empty()) relayed.failure = relay_missing;

  Profiler profiler(
      options.profile_command,
      {daemon->pid(), clients.empty() ? -1 : clients.front().shell().pid(), daemon->pid()});
  for (int round = 0; round < options.fan_in_rounds; ++round) {
    for (std::size_t step = 0; step < CLIENTS.size(); ++step) {
      // Rotate the order from round to round so that no client count always goes first.
      std::size_t which = (step + static_cast<std::size_t>(round)) % CLIENTS.size();
      int count = CLIENTS[which];
      std::size_t bytes = options.fan_in_bytes / static_cast<std::size_t>(count);
      auto file = workspace.text_file("fanin-" + std::to_string(count) + ".txt", bytes);
      if (!file) return report.failed(name, file.error().text());
      for (FanInSide* side : {&raw, &protocol, &through, &relayed}) {
        if (!side->failure.empty()) continue;
        auto seconds = fan_in_round(side->terminals, count, *file);
        if (!seconds) {
          side->failure = seconds.error().text();
          continue;
        }
        double rate = static_cast<double>(bytes) * count / MIB / *seconds;
        side->rates[which].push_back(rate);
        progress("%s: %s, %s: %.0f MiB/s", name.c_str(), side->label.c_str(),
                 plural(count, "client", "clients").c_str(), rate);
        for (int i = 0; i < count; ++i) drain(*side->terminals[static_cast<std::size_t>(i)], 20ms);
      }
      if (!raw.failure.empty()) return report.failed(name, "raw: " + raw.failure);
    }
  }

  // The protocol level, against one client of its own.
  if (!protocol.failure.empty()) {
    report.failed(name, protocol.failure);
  } else {
    double single = median(protocol.rates.front());
    for (std::size_t which = 0; which < CLIENTS.size(); ++which) {
      double rate = median(protocol.rates[which]);
      bool last = which + 1 == CLIENTS.size();
      report.add(Row{"fan-in " + plural(CLIENTS[which], "client", "clients") + " (MiB/s)",
                     fixed(rate, 0), which == 0 ? "" : fixed(single, 0),
                     which == 0 ? "" : fixed(rate / single, 3), last ? ">= 0.9 of 1 client" : "",
                     last ? verdict_of(rate / single >= 0.9) : Verdict::info});
    }
  }

  // Through the clients, against as many raw terminals; the rounds pair them. The bare relay's
  // rows come beside them, as the floor of any client.
  const std::string through_name = "fan-in through velmora attach";
  if (!through.failure.empty()) {
    report.failed(through_name, through.failure);
  } else {
    for (std::size_t which = 0; which < CLIENTS.size(); ++which) {
      bool last = which + 1 == CLIENTS.size();
      double ratio = median(paired_ratios(through, raw, which));
      report.add(Row{through_name + ", " + plural(CLIENTS[which], "client", "clients") + " (MiB/s)",
                     fixed(median(through.rates[which]), 0),
                     fixed(median(raw.rates[which]), 0) + " raw", fixed(ratio, 3),
                     last ? ">= 0.85 of raw" : "",
                     last ? verdict_of(ratio >= 0.85) : Verdict::info});
    }
  }
  const std::string relayed_name = "fan-in through the bare relay";
  if (!relayed.failure.empty()) {
    bool left_out = relayed.terminals.empty();
    report.add(Row{relayed_name, "", (left_out ? "left out: " : "error: ") + relayed.failure, "",
                   RELAY_TARGET, Verdict::info});
    return;
  }
  for (std::size_t which = 0; which < CLIENTS.size(); ++which) {
    report.add(Row{relayed_name + ", " + plural(CLIENTS[which], "client", "clients") + " (MiB/s)",
                   "", "relay " + fixed(median(relayed.rates[which]), 0),
                   fixed(median(paired_ratios(relayed, raw, which)), 3), RELAY_TARGET,
                   Verdict::info});
  }
}

}  // namespace velmora::bench
