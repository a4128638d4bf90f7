// The codec's hot paths: one output line per 8 KiB chunk of terminal output, and request lines
// from typical keystrokes up to a pasted megabyte.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>
#include <variant>

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

void EncodeOutputLine8KiB(benchmark::State& state) {
  const std::string chunk = random_bytes(8192);
  for (auto _ : state) {
    std::string line = encode_output_line(
        "main", reinterpret_cast<const unsigned char*>(chunk.data()), chunk.size());
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(EncodeOutputLine8KiB);

// The general path with the event already built, as for any other event.
void EncodeLineOutputEvent8KiB(benchmark::State& state) {
  const Event event = OutputEvent{"main", base64_encode(random_bytes(8192))};
  for (auto _ : state) {
    Result<std::string> line = encode_line(event);
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(EncodeLineOutputEvent8KiB);

// The general path including the base64 coding of the chunk.
void Base64ThenEncodeLine8KiB(benchmark::State& state) {
  const std::string chunk = random_bytes(8192);
  for (auto _ : state) {
    Result<std::string> line = encode_line(OutputEvent{"main", base64_encode(chunk)});
    benchmark::DoNotOptimize(line);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(Base64ThenEncodeLine8KiB);

void DecodeTypicalWrite(benchmark::State& state) {
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
BENCHMARK(DecodeTypicalWrite);

void DecodeMebibyteWrite(benchmark::State& state) {
  const std::string line = R"({"type":"write","key":"main","dataBase64":")" +
                           base64_encode(random_bytes(786432)) + R"("})";
  for (auto _ : state) {
    Result<Request> request = decode_line(line);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
  state.SetLabel(std::to_string(line.size()) + " bytes");
}
BENCHMARK(DecodeMebibyteWrite);

// The whole of the daemon's work on a pasted megabyte: the line, then its bytes.
void DecodeMebibyteWriteBytes(benchmark::State& state) {
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
BENCHMARK(DecodeMebibyteWriteBytes);

void Base64DecodeMebibyte(benchmark::State& state) {
  const std::string text = base64_encode(random_bytes(786432));
  for (auto _ : state) {
    auto bytes = base64_decode(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Base64DecodeMebibyte);

// A resume: the full 256 KiB replay in one attached line.
void EncodeAttachedLine256KiB(benchmark::State& state) {
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
BENCHMARK(EncodeAttachedLine256KiB);

void Base64Encode256KiB(benchmark::State& state) {
  const std::string bytes = random_bytes(262144);
  std::string text(base64_encoded_size(bytes.size()), '\0');
  for (auto _ : state) {
    base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 262144);
}
BENCHMARK(Base64Encode256KiB);

void Base64Encode8KiB(benchmark::State& state) {
  const std::string bytes = random_bytes(8192);
  std::string text(base64_encoded_size(bytes.size()), '\0');
  for (auto _ : state) {
    base64_encode_into(text.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                       bytes.size());
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(Base64Encode8KiB);

void Base64Decode8KiB(benchmark::State& state) {
  const std::string text = base64_encode(random_bytes(8192));
  for (auto _ : state) {
    auto bytes = base64_decode(text);
    benchmark::DoNotOptimize(bytes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 8192);
}
BENCHMARK(Base64Decode8KiB);

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
