// Keystroke echo: one byte at a time to a shell that has become `cat` on a raw terminal, timed
// until the byte comes back; the raw pseudo-terminal, the protocol level, through the client and
// through tmux take turns in blocks.

#include <vector>

#include "bench.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"
#include "velmora/core/line_codec.h"
#include "visible_text.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr int WARM_UP = 100;
// The sides take turns every this many round trips, so that all see the same machine.
constexpr int BLOCK = 50;

// What counts as the byte having come back.
enum class Echo {
  exact,    // exactly that byte and nothing else (a relay)
  visible,  // that byte among what is drawn (a front end that redraws may add sequences)
};

struct EchoSide {
  EchoSide(std::string side_label, Terminal* side_terminal, Echo side_echo = Echo::exact)
      : label(std::move(side_label)), terminal(side_terminal), echo(side_echo) {}

  std::string label;
  Terminal* terminal;
  Echo echo;
  std::vector<double> micros;
  std::string failure;
};

// Round trips of single bytes; microseconds each.
Result<void> echo_round_trips(Terminal& terminal, Echo echo, int count,
                              std::vector<double>* samples) {
  std::string back, shown;
  VisibleText visible;
  for (int i = 0; i < count; ++i) {
    char byte = static_cast<char>('a' + i % 26);
    back.clear();
    shown.clear();
    auto start = Clock::now();
    if (auto sent = terminal.input(std::string_view(&byte, 1)); !sent) return sent.error();
    while (echo == Echo::exact ? back.empty() : shown.find(byte) == std::string::npos) {
      std::size_t seen = back.size();
      if (auto got = terminal.read_some(back, start + 5s); !got) return got.error();
      visible.feed(std::string_view(back).substr(seen), shown);
    }
    auto elapsed = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (echo == Echo::exact && back != std::string_view(&byte, 1))
      return Error("expected the byte '" + std::string(1, byte) + "' back, got " +
                   std::to_string(back.size()) + " bytes");
    if (samples != nullptr) samples->push_back(elapsed);
  }
  return {};
}

// The shell turns the terminal raw and becomes cat, so every byte comes back once, unaltered.
Result<void> become_cat(Terminal& terminal, Echo echo) {
  if (auto ready = run_command(terminal, "stty raw -echo; echo RE$((0))ADY; exec cat", "RE0ADY",
                               Clock::now() + 10s);
      !ready)
    return ready.error();
  drain(terminal, 100ms);
  return echo_round_trips(terminal, echo, WARM_UP, nullptr);
}

// The allowances are microseconds above raw; p99 has a target only where one is given.
void report_side(const EchoSide& side, const EchoSide& raw, const std::string& name,
                 double p50_allowance, std::optional<double> p99_allowance, Report& report) {
  if (!side.failure.empty()) return report.failed(name, side.failure);
  double raw50 = percentile(raw.micros, 0.5), raw99 = percentile(raw.micros, 0.99);
  double p50 = percentile(side.micros, 0.5), p99 = percentile(side.micros, 0.99);
  report.add(
      Row{name + " p50 (us)", fixed(p50, 1), fixed(raw50, 1), signed_fixed(p50 - raw50, 1) + " us",
          "<= raw + " + fixed(p50_allowance, 0) + " us", verdict_of(p50 - raw50 <= p50_allowance)});
  report.add(Row{name + " p99 (us)", fixed(p99, 1), fixed(raw99, 1),
                 signed_fixed(p99 - raw99, 1) + " us",
                 p99_allowance ? "<= raw + " + fixed(*p99_allowance, 0) + " us" : "",
                 p99_allowance ? verdict_of(p99 - raw99 <= *p99_allowance) : Verdict::info});
}

}  // namespace

void measure_echo(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "echo latency";
  progress("%s: %d round trips each", name.c_str(), options.echo_count);
  auto started = start_sides(options, workspace, "echo");
  if (!started) return report.failed(name, started.error().text());
  Sides& sides = *started;

  EchoSide raw("raw", &sides.raw);
  EchoSide daemon("velmorad", &sides.session);
  std::vector<EchoSide*> turns = {&raw, &daemon};
  std::optional<EchoSide> client, relay, tmux;
  if (sides.client) turns.push_back(&client.emplace("client", &*sides.client));
  if (sides.relay) turns.push_back(&relay.emplace("relay", &*sides.relay));
  if (sides.tmux) turns.push_back(&tmux.emplace("tmux", &*sides.tmux, Echo::visible));
  for (EchoSide* side : turns) {
    if (auto ready = become_cat(*side->terminal, side->echo); !ready)
      side->failure = side->label + ": " + ready.error().text();
  }
  if (!raw.failure.empty()) return report.failed(name, raw.failure);

  Profiler profiler(options.profile_command, profiled(sides));
  for (int done_count = 0; done_count < options.echo_count; done_count += BLOCK) {
    int count = std::min(BLOCK, options.echo_count - done_count);
    for (EchoSide* side : turns) {
      if (!side->failure.empty()) continue;
      if (auto done = echo_round_trips(*side->terminal, side->echo, count, &side->micros); !done)
        side->failure = side->label + ": " + done.error().text();
    }
    if (!raw.failure.empty()) return report.failed(name, raw.failure);
  }
  (void)sides.session.connection().send_all(encode_request(CloseRequest{"echo"}));

  // The protocol level keeps its own allowance: it is what the daemon adds, with a client that
  // does nothing but decode.
  report_side(daemon, raw, "echo", 40, 300, report);
  if (!daemon.failure.empty()) return;
  if (!client) {
    report.failed("echo through velmora attach", sides.client_missing);
  } else {
    report_side(*client, raw, "echo through velmora attach", 30, std::nullopt, report);
  }
  if (!relay) {
    report.add(Row{"echo through the bare relay", "", "left out: " + sides.relay_missing, "",
                   RELAY_TARGET, Verdict::info});
  } else if (!relay->failure.empty()) {
    report.add(Row{"echo through the bare relay", "", "error: " + relay->failure, "", RELAY_TARGET,
                   Verdict::info});
  } else {
    for (auto [label, share] : {std::pair{"p50", 0.5}, std::pair{"p99", 0.99}}) {
      double value = percentile(relay->micros, share);
      report.add(Row{std::string("echo through the bare relay ") + label + " (us)", "",
                     "relay " + fixed(value, 1),
                     signed_fixed(value - percentile(raw.micros, share), 1) + " us", RELAY_TARGET,
                     Verdict::info});
    }
  }
  if (tmux) {
    if (!tmux->failure.empty()) {
      report.add(Row{"echo through tmux attach", "", "error: " + tmux->failure, "", "reference",
                     Verdict::info});
    } else {
      report.add(Row{"echo through tmux attach p50 (us)", "",
                     "tmux " + fixed(percentile(tmux->micros, 0.5), 1), "", "reference",
                     Verdict::info});
      report.add(Row{"echo through tmux attach p99 (us)", "",
                     "tmux " + fixed(percentile(tmux->micros, 0.99), 1), "", "reference",
                     Verdict::info});
    }
  }
}

}  // namespace velmora::bench
