// Keystroke echo: one byte at a time to a shell that has become `cat` on a raw terminal, timed
// until the byte comes back; raw pseudo-terminal and daemon blocks interleaved.

#include <vector>

#include "bench.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"
#include "velmora/core/line_codec.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr int WARM_UP = 100;
// Raw and daemon alternate every this many round trips, so that both see the same machine.
constexpr int BLOCK = 50;

// Round trips of single bytes; microseconds each.
Result<void> echo_round_trips(Terminal& terminal, int count, std::vector<double>* samples) {
  std::string back;
  for (int i = 0; i < count; ++i) {
    char byte = static_cast<char>('a' + i % 26);
    back.clear();
    auto start = Clock::now();
    if (auto sent = terminal.input(std::string_view(&byte, 1)); !sent) return sent.error();
    while (back.empty()) {
      if (auto got = terminal.read_some(back, start + 5s); !got) return got.error();
    }
    auto elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (back != std::string_view(&byte, 1))
      return Error("expected the byte '" + std::string(1, byte) + "' back, got " +
                   std::to_string(back.size()) + " bytes");
    if (samples != nullptr) samples->push_back(elapsed);
  }
  return {};
}

// The shell turns the terminal raw and becomes cat, so every byte comes back once, unaltered.
Result<void> become_cat(Terminal& terminal) {
  if (auto ready = run_command(terminal, "stty raw -echo; echo RE$((0))ADY; exec cat", "RE0ADY",
                               Clock::now() + 10s);
      !ready)
    return ready.error();
  drain(terminal, 100ms);
  return echo_round_trips(terminal, WARM_UP, nullptr);
}

}  // namespace

void measure_echo(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "echo latency";
  progress("%s: %d round trips each", name.c_str(), options.echo_count);
  auto sides = start_side_by_side(options, workspace, "echo");
  if (!sides) return report.failed(name, sides.error().text());
  auto& [daemon, session, raw] = *sides;
  if (auto ready = become_cat(raw); !ready)
    return report.failed(name, "raw: " + ready.error().text());
  if (auto ready = become_cat(session); !ready)
    return report.failed(name, "daemon: " + ready.error().text());

  std::vector<double> raw_us, daemon_us;
  Profiler profiler(options.profile_command, daemon.pid());
  for (int done_count = 0; done_count < options.echo_count; done_count += BLOCK) {
    int count = std::min(BLOCK, options.echo_count - done_count);
    if (auto done = echo_round_trips(raw, count, &raw_us); !done)
      return report.failed(name, "raw: " + done.error().text());
    if (auto done = echo_round_trips(session, count, &daemon_us); !done)
      return report.failed(name, "daemon: " + done.error().text());
  }
  (void)session.connection().send_all(encode_request(CloseRequest{"echo"}));

  double raw50 = percentile(raw_us, 0.5), raw99 = percentile(raw_us, 0.99);
  double daemon50 = percentile(daemon_us, 0.5), daemon99 = percentile(daemon_us, 0.99);
  report.add(Row{"echo p50 (us)", fixed(daemon50, 1), fixed(raw50, 1),
                 signed_fixed(daemon50 - raw50, 1) + " us", "<= raw + 40 us",
                 verdict_of(daemon50 - raw50 <= 40.0)});
  report.add(Row{"echo p99 (us)", fixed(daemon99, 1), fixed(raw99, 1),
                 signed_fixed(daemon99 - raw99, 1) + " us", "<= raw + 300 us",
                 verdict_of(daemon99 - raw99 <= 300.0)});
}

}  // namespace velmora::bench
