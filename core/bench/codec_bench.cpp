// The codec's hot paths: one output line per 8 KiB chunk of terminal output, request lines from
// typical keystrokes up to a pasted megabyte, a resume's replay, and base64 on each of its paths.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <variant>

#include "base64_paths.h"
#include "velmora/core/base64.h"
#include "velmora/core/line_codec.h"

namespace velmora {
namespace {

std::string random_bytes(std::size_t size) {
  std::mt19937 generator(42);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

void encode_output_line_8kib(benchmark::State& state) {
  const std::string chunk = random_bytes(8192);
  for (auto _ : state) {
    std::string line = encode_output_line(
        "main", reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(encode_output_line_8kib);

// The general path with the event already built, as for any other event.
void encode_line_output_event_8kib(benchmark::State& state) {
  const Event event = OutputEvent{"main", base64_encode(random_bytes(8192))};
  for (auto _ : state) {
    Result<std::string> line = encode_line(event);
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(encode_line_output_event_8kib);

// The general path including the base64 coding of the chunk.
void base64_then_encode_line_8kib(benchmark::State& state) {
  const std::string chunk = random_bytes(8192);
  for (auto _ : state) {
    Result<std::string> line = encode_line(OutputEvent{"main", base64_encode(chunk)});
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(base64_then_encode_line_8kib);

void decode_typical_write(benchmark::State& state) {
  // About 100 bytes: a few keystrokes with an escape sequence.
  const std::string line =
      R"({"type":"write","key":"work-session-1","dataBase64":"G1tBG1tBbHMgLWxhIH4vcHJvamVjdHMNCg=="})";
  for (auto _ : state) {
    Result<Request> request = decode_line(line);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.SetLabel(std::to_string(line.size()) + " bytes");
}
BENCHMARK(decode_typical_write);

void decode_mebibyte_write(benchmark::State& state) {
  const std::string line = R"({"type":"write","key":"main","dataBase64":")" +
                           base64_encode(random_bytes(786432)) + R"("})";
  for (auto _ : state) {
    Result<Request> request = decode_line(line);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.SetLabel(std::to_string(line.size()) + " bytes");
}
BENCHMARK(decode_mebibyte_write);

// The whole of the daemon's work on a pasted megabyte: the line, then its bytes.
void decode_mebibyte_write_bytes(benchmark::State& state) {
  const std::string line = R"({"type":"write","key":"main","dataBase64":")" +
                           base64_encode(random_bytes(786432)) + R"("})";
  for (auto _ : state) {
    Result<Request> request = decode_line(line);
    auto bytes = base64_decode(std::get<WriteRequest>(*request).data_base64);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.SetLabel(std::to_string(line.size()) + " bytes");
}
BENCHMARK(decode_mebibyte_write_bytes);

void base64_decode_mebibyte(benchmark::State& state) {
  const std::string text = base64_encode(random_bytes(786432));
  for (auto _ : state) {
    auto bytes = base64_decode(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(base64_decode_mebibyte);

// A resume: the full 256 KiB replay in one attached line.
void encode_attached_line_256kib(benchmark::State& state) {
  const std::string replay = random_bytes(262144);
  AttachedEvent event;
  event.key = "main";
  event.pid = 4242;
  event.resumed = true;
  for (auto _ : state) {
    std::string line = encode_attached_line(event, replay);
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 262144);
}
BENCHMARK(encode_attached_line_256kib);

void base64_encode_256kib(benchmark::State& state) {
  const std::string bytes = random_bytes(262144);
  std::string text(base64_encoded_size(bytes.size()), '\0');
  for (auto _ : state) {
    base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 262144);
}
BENCHMARK(base64_encode_256kib);

void base64_encode_8kib(benchmark::State& state) {
  const std::string bytes = random_bytes(8192);
  std::string text(base64_encoded_size(bytes.size()), '\0');
  for (auto _ : state) {
    base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(base64_encode_8kib);

void base64_decode_8kib(benchmark::State& state) {
  const std::string text = base64_encode(random_bytes(8192));
  for (auto _ : state) {
    auto bytes = base64_decode(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(base64_decode_8kib);

// The same coding on each path that this CPU has, forced through the library's selector.
void register_path_benchmarks() {
  using base64_paths::Path;
  for (Path path : base64_paths::available_paths()) {
    const std::string name = base64_paths::path_name(path);
    for (std::size_t size : {std::size_t{8192}, std::size_t{262144}}) {
      benchmark::RegisterBenchmark(
          ("Base64EncodePath/" + name + "/" + std::to_string(size)).c_str(),
          [path, size](benchmark::State& state) {
            base64_paths::select_path(path);
            const std::string bytes = random_bytes(size);
            std::string text(base64_encoded_size(size), '\0');
            for (auto _ : state) {
              base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                 size);
              benchmark::DoNotOptimize(text);
            }
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
          });
      benchmark::RegisterBenchmark(
          ("Base64DecodePath/" + name + "/" + std::to_string(size)).c_str(),
          [path, size](benchmark::State& state) {
            base64_paths::select_path(path);
            const std::string text = base64_encode(random_bytes(size));
            std::string bytes(size, '\0');
            for (auto _ : state) {
              bool ok = base64_decode_into(reinterpret_cast<unsigned char*>(bytes.data()), text);
              benchmark::DoNotOptimize(ok);
              benchmark::DoNotOptimize(bytes);
            }
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
          });
    }
  }
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  // Registered after the fixed benchmarks, which therefore run first, on the default path.
  velmora::register_path_benchmarks();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
