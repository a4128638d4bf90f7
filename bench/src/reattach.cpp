// Reattach as a person sees it: `velmora attach` started on a fresh terminal, to a session whose
// replay is full, timed until the last line that the shell printed before the detach has been
// drawn. Beside it the floor of starting the client at all (`velmora version`, which also asks
// the daemon once) and, for reference, `tmux attach` to a session in the same state.

#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include "bench.h"
#include "front_end.h"
#include "profiler.h"
#include "stats.h"
#include "terminal.h"

namespace velmora::bench {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t REPLAY_LIMIT = 262144;

// The last line that the session printed before it was left; the typed command holds
// "$((40+2))" where the output holds "42", so the echo of the command never matches.
constexpr std::string_view DRAWN_MARKER = "VB42DRAWN";

std::string fill_command(const std::string& file) {
  return "cat " + file + "; echo VB$((40+2))DRAWN";
}

using Start = std::function<Result<RawTerminal>()>;
// Detaches the front end and waits until it has ended.
using Leave = std::function<Result<void>(RawTerminal&)>;

// Milliseconds from the start of a front end to the marker on its terminal; the front end
// leaves afterwards, outside the timing.
Result<double> timed_reattach(const Start& start, const Leave& leave) {
  auto began = Clock::now();
  auto terminal = start();
  if (!terminal) return terminal.error();
  MarkerScanner scanner{std::string(DRAWN_MARKER)};
  if (auto drawn = read_until(*terminal, scanner, began + 10s); !drawn)
    return Error("drawing: " + drawn.error().text());
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
  if (auto left = leave(*terminal); !left) return Error("detaching: " + left.error().text());
  return ms;
}

// Milliseconds from the start of a command until it has ended and its terminal closed.
Result<double> timed_run(const Start& start) {
  auto began = Clock::now();
  auto terminal = start();
  if (!terminal) return terminal.error();
  if (auto ended = wait_end(*terminal, began + 10s); !ended) return ended.error();
  return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

// Makes the session through the front end, fills its replay and leaves it.
Result<void> fill_session(const Start& start, const Leave& leave, const std::string& file) {
  auto terminal = start();
  if (!terminal) return terminal.error();
  if (auto ready = wait_ready(*terminal); !ready) return ready.error();
  if (auto filled =
          run_command(*terminal, fill_command(file), std::string(DRAWN_MARKER), Clock::now() + 30s);
      !filled)
    return filled.error();
  drain(*terminal, 200ms);
  return leave(*terminal);
}

}  // namespace

void measure_reattach(const Options& options, const Workspace& workspace, Report& report) {
  const std::string name = "reattach through velmora attach, drawn";
  if (options.client.empty()) return report.failed(name, "no velmora client");
  progress("%s: %d reattaches", name.c_str(), options.reattach_count);
  auto file = workspace.text_file("replay.txt", REPLAY_LIMIT + REPLAY_LIMIT / 4);
  if (!file) return report.failed(name, file.error().text());
  auto daemon = workspace.start_daemon(options, "reattach");
  if (!daemon) return report.failed(name, daemon.error().text());
  const std::string socket = daemon->socket();
  Start velmora = [&] { return start_velmora_client(options.client, socket, "drawn"); };
  Start version = [&] { return start_velmora(options.client, socket, {"version"}); };
  // What a reattach costs when the scrollback has nothing new to take, as from the terminal that
  // showed the session last: the history above the screen is most of a full replay's bytes.
  Start no_history = [&] {
    return start_velmora(options.client, socket, {"attach", "--no-history", "drawn"});
  };
  Leave velmora_leave = [](RawTerminal& terminal) {
    return detach(terminal, VELMORA_DETACH, Clock::now() + 10s);
  };
  // A full replay's bytes and the marker, written by cat on a fresh terminal in raw mode (as the
  // client's is): what carrying a full history through a terminal costs whoever writes it, the
  // start of a program included.
  auto history = workspace.text_file("history.txt", REPLAY_LIMIT);
  if (!history) return report.failed(name, history.error().text());
  const std::string marker_file = workspace.file("marker.txt");
  {
    std::ofstream out(marker_file, std::ios::binary | std::ios::trunc);
    out << DRAWN_MARKER << '\n';
    if (!out) return report.failed(name, "cannot write " + marker_file);
  }
  const std::string cat = find_on_path("cat");
  Start history_alone = [&] {
    return start_on_terminal({cat, *history, marker_file}, {}, RawShell::Line::raw);
  };
  Leave program_end = [](RawTerminal& terminal) { return wait_end(terminal, Clock::now() + 10s); };
  if (auto filled = fill_session(velmora, velmora_leave, *file); !filled)
    return report.failed(name, "filling the session: " + filled.error().text());

  std::optional<TmuxServer> tmux;
  Start tmux_attach;
  // Keys typed while tmux still sets up a new client can be dropped, so it is told to detach.
  Leave tmux_leave = [&](RawTerminal& terminal) -> Result<void> {
    if (auto told = tmux->detach_clients("drawn"); !told) return told.error();
    return wait_end(terminal, Clock::now() + 10s);
  };
  if (!options.tmux.empty()) {
    auto server =
        TmuxServer::start(options.tmux, workspace.file("reattach.tmux"), options.shell, "drawn");
    if (server) {
      tmux.emplace(std::move(*server));
      tmux_attach = [&] { return tmux->attach("drawn"); };
      if (auto filled = fill_session(tmux_attach, tmux_leave, *file); !filled) {
        progress("tmux left out: %s", filled.error().text().c_str());
        tmux.reset();
      }
    } else {
      progress("tmux left out: %s", server.error().text().c_str());
    }
  }

  std::vector<double> drawn_ms, bare_ms, floor_ms, history_ms, tmux_ms;
  std::string tmux_failure;
  Profiler profiler(options.profile_command, {daemon->pid()});
  for (int i = 0; i < options.reattach_count; ++i) {
    auto drawn = timed_reattach(velmora, velmora_leave);
    if (!drawn) return report.failed(name, drawn.error().text());
    drawn_ms.push_back(*drawn);
    auto bare = timed_reattach(no_history, velmora_leave);
    if (!bare) return report.failed(name, "--no-history: " + bare.error().text());
    bare_ms.push_back(*bare);
    auto floor = timed_run(version);
    if (!floor) return report.failed(name, "velmora version: " + floor.error().text());
    floor_ms.push_back(*floor);
    if (!cat.empty()) {
      auto alone = timed_reattach(history_alone, program_end);
      if (!alone) return report.failed(name, "cat of a full replay: " + alone.error().text());
      history_ms.push_back(*alone);
    }
    if (tmux && tmux_failure.empty()) {
      auto other = timed_reattach(tmux_attach, tmux_leave);
      if (other)
        tmux_ms.push_back(*other);
      else
        tmux_failure = other.error().text();
    }
  }
  bool with_tmux = tmux && tmux_failure.empty();
  double tmux_p50 = with_tmux ? median(tmux_ms) : 0;
  // Within 5 ms, and no slower than tmux redrawing only its screen when it ran beside.
  auto meets = [&](double p50) { return p50 <= 5.0 && (!with_tmux || p50 <= tmux_p50); };
  const std::string target = with_tmux ? "<= 5 ms, <= tmux" : "<= 5 ms";
  double p50 = median(drawn_ms);
  report.add(Row{name + " p50 (ms)", fixed(p50, 2), fixed(median(floor_ms), 2) + " floor", "",
                 target, verdict_of(meets(p50))});
  report.add(Row{name + " p90 (ms)", fixed(percentile(drawn_ms, 0.9), 2),
                 fixed(percentile(floor_ms, 0.9), 2) + " floor", "", "", Verdict::info});
  double bare_p50 = median(bare_ms);
  report.add(Row{name + ", --no-history p50 (ms)", fixed(bare_p50, 2), "", "", target,
                 verdict_of(meets(bare_p50))});
  if (!history_ms.empty())
    report.add(Row{"a full replay's bytes alone, cat on a fresh terminal p50 (ms)",
                   fixed(median(history_ms), 2), "", "", "floor of a full history", Verdict::info});
  if (with_tmux) {
    report.add(Row{"reattach through tmux attach, drawn p50 (ms)", "", "tmux " + fixed(tmux_p50, 2),
                   "", "reference", Verdict::info});
  } else if (tmux) {
    report.add(Row{"reattach through tmux attach", "", "error: " + tmux_failure, "", "reference",
                   Verdict::info});
  }
}

}  // namespace velmora::bench
