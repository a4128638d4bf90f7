// The mode tracker on the output pump's path: one feed per 8 KiB chunk, of plain text and of a
// full-screen program's output, and the work a resume adds.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>

#include "velmora/core/terminal_modes.h"

namespace velmora {
namespace {

constexpr std::size_t CHUNK = 8192;
constexpr std::size_t WINDOW = 262144;

std::string printable_chunk() {
  std::string bytes;
  for (unsigned line = 0; bytes.size() < CHUNK; ++line) {
    bytes += "build step " + std::to_string(line) + ": compiling src/module_" +
             std::to_string(line * 7 % 100) + ".cpp with the usual flags\r\n";
  }
  bytes.resize(CHUNK);
  return bytes;
}

// A redraw as a full-screen program sends it: the cursor hidden, each cell positioned and
// coloured, the cursor shown again. Several sequences in every 16 bytes or so.
std::string escape_dense_chunk() {
  std::string bytes;
  for (unsigned frame = 0; bytes.size() < CHUNK; ++frame) {
    bytes += "\x1b[?25l";
    for (unsigned row = 1; row <= 24 && bytes.size() < CHUNK; ++row) {
      bytes += "\x1b[" + std::to_string(row) + ";1H";
      for (unsigned cell = 0; cell < 8; ++cell) {
        bytes += "\x1b[38;5;" + std::to_string((row * 8 + cell + frame) % 256) + "m#";
      }
      bytes += "\x1b[0m";
    }
    bytes += "\x1b[?25h";
  }
  bytes.resize(CHUNK);
  return bytes;
}

void track(benchmark::State& state, const std::string& chunk) {
  TerminalModeTracker tracker(WINDOW);
  for (auto _ : state) {
    tracker.feed(chunk);
    benchmark::DoNotOptimize(tracker.modes());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}

void track_printable_output(benchmark::State& state) { track(state, printable_chunk()); }
BENCHMARK(track_printable_output);

void track_escape_dense_output(benchmark::State& state) { track(state, escape_dense_chunk()); }
BENCHMARK(track_escape_dense_output);

// A resume of a session whose modes were set long before its window.
void replay_start_with_preamble(benchmark::State& state) {
  TerminalModeTracker tracker(WINDOW);
  std::string history = "\x1b[?1049h\x1b[?1;2004;1000;1006h";
  const std::string chunk = escape_dense_chunk();
  while (history.size() < 4 * WINDOW) history += chunk;
  tracker.feed(history);
  const std::string_view recent =
      std::string_view(history).substr(history.size() - tracker.history_size());
  for (auto _ : state) {
    ReplayStart start = tracker.replay_start({}, recent);
    benchmark::DoNotOptimize(start);
  }
}
BENCHMARK(replay_start_with_preamble);

}  // namespace
}  // namespace velmora
