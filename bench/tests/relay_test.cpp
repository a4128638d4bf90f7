// The bare relay between two real terminals: its rows are a floor only if it passes every byte
// unaltered and ends when its program does.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "bench.h"
#include "front_end.h"
#include "marker_scanner.h"

namespace velmora::bench {
namespace {

using namespace std::chrono_literals;

// Every byte value, twice over, in an order that is not their own.
std::string all_bytes(std::size_t count, unsigned step) {
  std::string bytes;
  for (std::size_t i = 0; i < count; ++i)
    bytes.push_back(static_cast<char>((i * step + i / 256) % 256));
  return bytes;
}

TEST(Relay, PassesEveryByteBothWaysAndEndsWithItsProgram) {
  auto workspace = Workspace::create();
  ASSERT_TRUE(workspace);
  // Far more than the relay's buffer and the terminals' own, so that writes come back short.
  const std::string file = workspace->file("bytes");
  const std::string contents = all_bytes(512 * 1024, 97);
  std::ofstream(file, std::ios::binary) << contents;
  // The program's terminal raw as well: what is typed reaches head, and what it writes comes
  // back as it was. The marker says that it is raw; its echo on the cooked terminal differs.
  const std::string input = all_bytes(512, 37);
  auto relay = start_relay(VELMORA_RELAY_PATH, "/bin/sh");
  ASSERT_TRUE(relay) << relay.error().text();
  ASSERT_TRUE(relay->input("stty raw -echo -iexten && printf RA$((0))W && head -c 512 && cat " +
                           file + "; exit\r"));
  MarkerScanner raw_now("RA0W");
  auto ready = read_until(*relay, raw_now, Clock::now() + 10s);
  ASSERT_TRUE(ready) << ready.error().text();
  ASSERT_TRUE(relay->input(input));

  std::string output;
  auto deadline = Clock::now() + 30s;
  while (true) {
    auto got = relay->read_some(output, deadline);
    if (!got) {
      ASSERT_EQ(got.error().text(), "the shell's terminal closed");
      break;
    }
  }
  EXPECT_TRUE(relay->shell().wait_exit(Clock::now() + 5s));
  ASSERT_EQ(output.size(), input.size() + contents.size());
  EXPECT_EQ(output.substr(0, input.size()), input);
  EXPECT_TRUE(output.substr(input.size()) == contents);
}

}  // namespace
}  // namespace velmora::bench
