// Bulk output: a shell cats a large file and prints an end marker; the time from sending the
// command to seeing the marker, for every side (raw, protocol level, through the client and
// through tmux) interleaved round by round; then pairs of the daemon with and without its mode
// tracker.

#include <unistd.h>

#include <vector>

#include "bench.h"
#include "platform.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr double MIB = 1024.0 * 1024.0;

struct Run {
  double seconds = 0;
  std::size_t bytes = 0;
  std::size_t chunks = 0;
};

Result<Run> timed_cat(Terminal& terminal, const std::string& file) {
  auto command = cat_command(file);
  MarkerScanner scanner(command.marker);
  auto start = Clock::now();
  if (auto sent = terminal.input(command.line); !sent) return sent.error();
  if (auto done = read_until(terminal, scanner, start + 300s); !done) return done.error();
  std::chrono::duration<double> elapsed = Clock::now() - start;
  return Run{elapsed.count(), scanner.total(), scanner.chunks()};
}

// One way of reaching a shell, and what its runs gave, round by round.
struct BulkSide {
  BulkSide(std::string side_label, Terminal* side_terminal, std::vector<pid_t> side_cpu_pids)
      : label(std::move(side_label)), terminal(side_terminal), cpu_pids(std::move(side_cpu_pids)) {}

  std::string label;
  Terminal* terminal;
  std::vector<pid_t> cpu_pids;  // the processes whose CPU time is counted, in report order
  std::vector<double> seconds;
  std::vector<double> bytes_per_read;
  std::vector<std::vector<double>> cpu_ms_per_mib;  // one series per process
  std::vector<double> user_ms_per_mib;              // of the first process
  std::string failure;

  bool ok() const { return failure.empty(); }
};

void run_side(BulkSide& side, const std::string& file, std::size_t bytes) {
  if (!side.ok()) return;
  std::vector<std::optional<CpuTimes>> before;
  for (pid_t pid : side.cpu_pids) before.push_back(process_cpu_times(pid));
  auto run = timed_cat(*side.terminal, file);
  std::vector<std::optional<CpuTimes>> after;
  for (pid_t pid : side.cpu_pids) after.push_back(process_cpu_times(pid));
  if (!run) {
    side.failure = run.error().text();
    return;
  }
  drain(*side.terminal, 50ms);
  const double mib = static_cast<double>(bytes) / MIB;
  side.seconds.push_back(run->seconds);
  side.bytes_per_read.push_back(static_cast<double>(run->bytes) / static_cast<double>(run->chunks));
  side.cpu_ms_per_mib.resize(side.cpu_pids.size());
  for (std::size_t i = 0; i < side.cpu_pids.size(); ++i) {
    if (!before[i] || !after[i]) continue;
    side.cpu_ms_per_mib[i].push_back((after[i]->total() - before[i]->total()) * 1e3 / mib);
    if (i == 0) side.user_ms_per_mib.push_back((after[i]->user - before[i]->user) * 1e3 / mib);
  }
}

// Per round: the reference's time over the side's, i.e. the side's speed as a share of it.
std::vector<double> paired_ratios(const BulkSide& side, const BulkSide& reference) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < side.seconds.size() && i < reference.seconds.size(); ++i)
    ratios.push_back(reference.seconds[i] / side.seconds[i]);
  return ratios;
}

double median_rate(const BulkSide& side, std::size_t bytes) {
  std::vector<double> rates;
  for (double seconds : side.seconds) rates.push_back(static_cast<double>(bytes) / MIB / seconds);
  return median(rates);
}

// "0.912 (0.88-0.95)": the median of the paired ratios and their spread; a busy machine shows
// as a wide one.
std::string ratio_text(const std::vector<double>& ratios) {
  return fixed(median(ratios), 3) + " (" + fixed(percentile(ratios, 0), 2) + "-" +
         fixed(percentile(ratios, 1), 2) + ")";
}

// "6.21 + 3.60 = 9.81": the CPU of each process of the side and their sum; nothing if a
// process's times could not be read.
std::optional<std::pair<std::string, double>> cpu_sum(const BulkSide& side) {
  std::string text;
  double total = 0;
  for (const auto& series : side.cpu_ms_per_mib) {
    if (series.empty()) return std::nullopt;
    double value = median(series);
    text += (text.empty() ? "" : " + ") + fixed(value, 2);
    total += value;
  }
  if (side.cpu_ms_per_mib.size() > 1) text += " = " + fixed(total, 2);
  return std::make_pair(text, total);
}

// One protocol-level session on a fresh daemon of the given binary, ready for commands.
struct FreshSession {
  DaemonProcess daemon;
  SessionTerminal session;
};

Result<FreshSession> fresh_session(const Options& options, const Workspace& workspace,
                                   const std::string& binary, const std::string& name) {
  Options chosen = options;
  chosen.daemon = binary;
  auto daemon = workspace.start_daemon(chosen, name);
  if (!daemon) return daemon.error();
  auto session = SessionTerminal::attach(daemon->socket(), name, ROWS, COLS);
  if (!session) return session.error();
  if (auto ready = wait_ready(*session); !ready) return ready.error();
  return FreshSession{std::move(*daemon), std::move(*session)};
}

// The mode tracker's cost: pairs of protocol-level runs of the daemon with and without it, back
// to back. Every pair has two fresh daemons, and the pairs take turns at which daemon is started
// first and which runs first: where the scheduler happens to place a process's threads (which
// follows the order of creation) moves the rate of a pseudo-terminal by more than the tracker
// does. Beside the rates, the daemons' own CPU time per MiB, which placement moves less.
void report_tracker_cost(const Options& options, const Workspace& workspace,
                         const std::string& file, std::size_t bytes, Report& report) {
  const std::string name = "mode tracker cost, protocol bulk (MiB/s)";
  if (options.untracked_daemon.empty()) {
    report.add(Row{name, "skipped: no velmorad_untracked (see --untracked-daemon)", "", "",
                   "<= 2 %", Verdict::info});
    return;
  }
  std::vector<double> costs, cpu_costs, tracked_rates, untracked_rates;
  for (int pair = 0; pair < options.tracker_pairs; ++pair) {
    bool tracked_first = pair % 2 == 0;
    auto start = [&](bool tracked) {
      return fresh_session(options, workspace, tracked ? options.daemon : options.untracked_daemon,
                           tracked ? "tracked" : "untracked");
    };
    auto one = start(tracked_first);
    if (!one) return report.failed(name, one.error().text());
    auto other = start(!tracked_first);
    if (!other) return report.failed(name, other.error().text());
    FreshSession& tracked = tracked_first ? *one : *other;
    FreshSession& untracked = tracked_first ? *other : *one;
    BulkSide with("velmorad", &tracked.session, {tracked.daemon.pid()});
    BulkSide without("untracked", &untracked.session, {untracked.daemon.pid()});
    // Started first, run second, and the other way round in the next pair.
    run_side(tracked_first ? without : with, file, bytes);
    run_side(tracked_first ? with : without, file, bytes);
    if (!with.ok()) return report.failed(name, with.failure);
    if (!without.ok()) return report.failed(name, "untracked: " + without.failure);
    costs.push_back(with.seconds.back() / without.seconds.back() - 1.0);
    tracked_rates.push_back(static_cast<double>(bytes) / MIB / with.seconds.back());
    untracked_rates.push_back(static_cast<double>(bytes) / MIB / without.seconds.back());
    if (!with.cpu_ms_per_mib[0].empty() && !without.cpu_ms_per_mib[0].empty())
      cpu_costs.push_back(with.cpu_ms_per_mib[0].back() / without.cpu_ms_per_mib[0].back() - 1.0);
    progress("%s: pair %d: %+.1f %%", name.c_str(), pair + 1, costs.back() * 100);
  }
  auto spread = [](const std::vector<double>& values) {
    return signed_fixed(median(values) * 100, 1) + " % (" +
           signed_fixed(percentile(values, 0) * 100, 1) + " to " +
           signed_fixed(percentile(values, 1) * 100, 1) + ")";
  };
  double cost = median(costs);
  report.add(Row{name, fixed(median(tracked_rates), 0), fixed(median(untracked_rates), 0),
                 spread(costs), "<= 2 %", verdict_of(cost <= 0.02)});
  if (!cpu_costs.empty())
    report.add(
        Row{"  daemon CPU per MiB with the tracker", "", "", spread(cpu_costs), "", Verdict::info});
}

}  // namespace

void measure_bulk(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "bulk output " + std::to_string(options.bulk_bytes >> 20) + " MiB";
  progress("%s: preparing", name.c_str());
  auto file = workspace.text_file("bulk.txt", options.bulk_bytes);
  if (!file) return report.failed(name, file.error().text());
  auto started = start_sides(options, workspace, "bulk");
  if (!started) return report.failed(name, started.error().text());
  Sides& sides = *started;

  BulkSide raw("raw", &sides.raw, {::getpid()});
  BulkSide tracked("velmorad", &sides.session, {sides.daemon.pid()});
  std::optional<BulkSide> client, relay, tmux;
  if (sides.client)
    client.emplace("client", &*sides.client,
                   std::vector{sides.client_daemon->pid(), sides.client->shell().pid()});
  if (sides.relay) relay.emplace("relay", &*sides.relay, std::vector{sides.relay->shell().pid()});
  if (sides.tmux)
    tmux.emplace("tmux", &*sides.tmux,
                 std::vector{sides.tmux_server->pid(), sides.tmux->shell().pid()});

  Profiler profiler(options.profile_command, profiled(sides));
  for (int round = 0; round < options.bulk_rounds; ++round) {
    run_side(raw, *file, options.bulk_bytes);
    if (!raw.ok()) return report.failed(name, "raw: " + raw.failure);
    run_side(tracked, *file, options.bulk_bytes);
    if (!tracked.ok()) return report.failed(name, "daemon: " + tracked.failure);
    if (client) run_side(*client, *file, options.bulk_bytes);
    if (relay) run_side(*relay, *file, options.bulk_bytes);
    if (tmux) run_side(*tmux, *file, options.bulk_bytes);
    auto rate = [&](const std::optional<BulkSide>& side) {
      return side && side->ok()
                 ? static_cast<double>(options.bulk_bytes) / MIB / side->seconds.back()
                 : 0.0;
    };
    progress("%s: round %d: raw %.0f, velmorad %.0f, client %.0f, relay %.0f, tmux %.0f MiB/s",
             name.c_str(), round + 1,
             static_cast<double>(options.bulk_bytes) / MIB / raw.seconds.back(),
             static_cast<double>(options.bulk_bytes) / MIB / tracked.seconds.back(), rate(client),
             rate(relay), rate(tmux));
  }

  // The protocol level.
  auto ratios = paired_ratios(tracked, raw);
  report.add(Row{name + " (MiB/s)", fixed(median_rate(tracked, options.bulk_bytes), 0),
                 fixed(median_rate(raw, options.bulk_bytes), 0), ratio_text(ratios),
                 ">= 0.95 of raw", verdict_of(median(ratios) >= 0.95)});
  report.add(Row{"bulk bytes per read/event", fixed(median(tracked.bytes_per_read), 0),
                 fixed(median(raw.bytes_per_read), 0), "", "", Verdict::info});
  auto daemon_cpu = cpu_sum(tracked);
  auto reader_cpu = cpu_sum(raw);
  if (!daemon_cpu || !reader_cpu) return report.failed("daemon CPU per MiB", "no CPU figures");
  // The reference is the raw run's reader: one 8192-byte read per chunk and nothing else.
  report.add(Row{"daemon CPU per MiB (ms)", daemon_cpu->first, reader_cpu->first, "", "<= 3 ms",
                 verdict_of(daemon_cpu->second <= 3.0)});
  report.add(Row{"  of which user space (ms)", fixed(median(tracked.user_ms_per_mib), 2), "", "",
                 "", Verdict::info});
  report_tracker_cost(options, workspace, *file, options.bulk_bytes, report);

  // Through the client, as a person sees it.
  const std::string through = "bulk through velmora attach (MiB/s)";
  if (!client) {
    report.failed(through, sides.client_missing);
  } else if (!client->ok()) {
    report.failed(through, client->failure);
  } else {
    auto client_ratios = paired_ratios(*client, raw);
    report.add(Row{through, fixed(median_rate(*client, options.bulk_bytes), 0),
                   fixed(median_rate(raw, options.bulk_bytes), 0), ratio_text(client_ratios),
                   ">= 0.9 of raw", verdict_of(median(client_ratios) >= 0.9)});
    auto cpu = cpu_sum(*client);
    std::optional<std::pair<std::string, double>> tmux_cpu;
    if (tmux && tmux->ok()) tmux_cpu = cpu_sum(*tmux);
    if (!cpu) {
      report.failed("daemon + client CPU per MiB", "no CPU figures");
    } else {
      report.add(Row{"daemon + client CPU per MiB (ms)", cpu->first,
                     tmux_cpu ? "tmux " + tmux_cpu->first : "", "", "<= 6 ms",
                     verdict_of(cpu->second <= 6.0)});
    }
  }
  // The floor of any client: two terminals and a copy between them, nothing else.
  const std::string relayed = "bulk through the bare relay (MiB/s)";
  if (!relay) {
    report.add(
        Row{relayed, "", "left out: " + sides.relay_missing, "", RELAY_TARGET, Verdict::info});
  } else if (!relay->ok()) {
    report.add(Row{relayed, "", "error: " + relay->failure, "", RELAY_TARGET, Verdict::info});
  } else {
    report.add(Row{relayed, "", "relay " + fixed(median_rate(*relay, options.bulk_bytes), 0),
                   ratio_text(paired_ratios(*relay, raw)), RELAY_TARGET, Verdict::info});
    if (auto cpu = cpu_sum(*relay))
      report.add(Row{"relay CPU per MiB (ms)", "", "relay " + cpu->first, "", RELAY_TARGET,
                     Verdict::info});
  }
  if (tmux && tmux->ok()) {
    report.add(Row{"bulk through tmux attach (MiB/s)", "",
                   "tmux " + fixed(median_rate(*tmux, options.bulk_bytes), 0),
                   ratio_text(paired_ratios(*tmux, raw)), "reference", Verdict::info});
  } else if (tmux) {
    report.add(Row{"bulk through tmux attach", "", "error: " + tmux->failure, "", "reference",
                   Verdict::info});
  }
}

}  // namespace velmora::bench
