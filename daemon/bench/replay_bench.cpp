// Replay costs on the output pump's hot path: appending 8 KiB reads, and the copy a resume takes.

#include <benchmark/benchmark.h>

#include <string>

#include "session.h"

namespace velmora::daemon {
namespace {

void replay_append_8kib(benchmark::State& state) {
  std::string chunk(8192, 'x');
  Replay replay(REPLAY_LIMIT);
  for (auto _ : state) {
    replay.append(chunk);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(replay_append_8kib);

void replay_append_locked_from_8kib(benchmark::State& state) {
  // What the pump does per read: lock, append, read the route, unlock.
  std::string chunk(8192, 'x');
  SessionOutput output(nullptr, WakeUp());
  for (auto _ : state) benchmark::DoNotOptimize(output.append(chunk.data(), chunk.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(replay_append_locked_from_8kib);

void replay_snapshot_full(benchmark::State& state) {
  // Full and wrapped, as a long-running session's replay is.
  std::string chunk(8000, 'y');
  Replay replay(REPLAY_LIMIT);
  for (int i = 0; i < 100; ++i) replay.append(chunk);
  for (auto _ : state) {
    std::string copy = replay.snapshot();
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(REPLAY_LIMIT));
}
BENCHMARK(replay_snapshot_full)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora::daemon

BENCHMARK_MAIN();
