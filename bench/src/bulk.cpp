// Bulk output: a shell cats a large file and prints an end marker; the time from sending the
// command to seeing the marker, raw pseudo-terminal and daemon runs interleaved.

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

Result<Run> timed_cat(Terminal& terminal, const std::string& command) {
  MarkerScanner scanner{std::string(CAT_END_MARKER)};
  auto start = Clock::now();
  if (auto sent = terminal.input(command); !sent) return sent.error();
  if (auto done = read_until(terminal, scanner, start + 300s); !done) return done.error();
  std::chrono::duration<double> elapsed = Clock::now() - start;
  return Run{elapsed.count(), scanner.total(), scanner.chunks()};
}

}  // namespace

void measure_bulk(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "bulk output " + std::to_string(options.bulk_bytes >> 20) + " MiB";
  progress("%s: preparing", name.c_str());
  auto file = workspace.text_file("bulk.txt", options.bulk_bytes);
  if (!file) return report.failed(name, file.error().text());
  auto sides = start_side_by_side(options, workspace, "bulk");
  if (!sides) return report.failed(name, sides.error().text());
  auto& [daemon, session, raw] = *sides;
  for (Terminal* terminal : {static_cast<Terminal*>(&raw), static_cast<Terminal*>(&session)}) {
    if (auto ready = run_command(*terminal, "echo RE$((0))ADY", "RE0ADY", Clock::now() + 10s);
        !ready)
      return report.failed(name, "shell not ready: " + ready.error().text());
    drain(*terminal, 100ms);
  }

  const std::string command = cat_command(*file);
  const double mib = static_cast<double>(options.bulk_bytes) / MIB;
  std::vector<double> raw_rate, daemon_rate, ratio, cpu_ms_per_mib, user_ms_per_mib, raw_chunk,
      daemon_chunk, reader_ms_per_mib;
  Profiler profiler(options.profile_command, daemon.pid());
  for (int round = 0; round < options.bulk_rounds; ++round) {
    // What reading the terminal alone costs: this process is the raw run's only reader.
    auto reader_before = process_cpu_times(::getpid());
    auto raw_run = timed_cat(raw, command);
    auto reader_after = process_cpu_times(::getpid());
    if (!raw_run) return report.failed(name, "raw: " + raw_run.error().text());
    drain(raw, 50ms);

    auto cpu_before = process_cpu_times(daemon.pid());
    auto daemon_run = timed_cat(session, command);
    auto cpu_after = process_cpu_times(daemon.pid());
    if (!daemon_run) return report.failed(name, "daemon: " + daemon_run.error().text());
    drain(session, 50ms);
    if (daemon_run->bytes < options.bulk_bytes)
      return report.failed(name,
                           "daemon delivered only " + std::to_string(daemon_run->bytes) + " bytes");

    raw_rate.push_back(mib / raw_run->seconds);
    daemon_rate.push_back(mib / daemon_run->seconds);
    ratio.push_back(raw_run->seconds / daemon_run->seconds);
    raw_chunk.push_back(static_cast<double>(raw_run->bytes) / static_cast<double>(raw_run->chunks));
    daemon_chunk.push_back(static_cast<double>(daemon_run->bytes) /
                           static_cast<double>(daemon_run->chunks));
    if (reader_before && reader_after)
      reader_ms_per_mib.push_back((reader_after->total() - reader_before->total()) * 1e3 / mib);
    if (cpu_before && cpu_after) {
      cpu_ms_per_mib.push_back((cpu_after->total() - cpu_before->total()) * 1e3 / mib);
      user_ms_per_mib.push_back((cpu_after->user - cpu_before->user) * 1e3 / mib);
    }
    progress("%s: round %d: raw %.0f MiB/s, daemon %.0f MiB/s", name.c_str(), round + 1,
             raw_rate.back(), daemon_rate.back());
  }

  // The median of the paired ratios, with their spread: a busy machine shows as a wide one.
  double paired_ratio = median(ratio);
  std::string spread =
      " (" + fixed(percentile(ratio, 0), 2) + "-" + fixed(percentile(ratio, 1), 2) + ")";
  report.add(Row{name + " (MiB/s)", fixed(median(daemon_rate), 0), fixed(median(raw_rate), 0),
                 fixed(paired_ratio, 3) + spread, ">= 0.95 of raw",
                 verdict_of(paired_ratio >= 0.95)});
  report.add(Row{"bulk bytes per read/event", fixed(median(daemon_chunk), 0),
                 fixed(median(raw_chunk), 0), "", "", Verdict::Info});
  if (cpu_ms_per_mib.empty()) return report.failed("daemon CPU per MiB", "no CPU figures");
  double cpu = median(cpu_ms_per_mib);
  // The reference is the raw run's reader: one 8192-byte read per chunk and nothing else.
  report.add(Row{"daemon CPU per MiB (ms)", fixed(cpu, 2), fixed(median(reader_ms_per_mib), 2), "",
                 "<= 3 ms", verdict_of(cpu <= 3.0)});
  report.add(Row{"  of which user space (ms)", fixed(median(user_ms_per_mib), 2), "", "", "",
                 Verdict::Info});
}

}  // namespace velmora::bench
