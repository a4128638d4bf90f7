#include "platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <string>

namespace velmora::bench {
namespace {

TEST(ProcessFigures, SeeThisProcessSpendTimeAndMemory) {
  auto cpu_before = process_cpu_times(::getpid());
  auto rss_before = process_rss_bytes(::getpid());
  ASSERT_TRUE(cpu_before && rss_before);
  std::string touched(64 << 20, 'x');
  // Burn 200 ms of CPU as the C library counts it, however busy the machine is.
  volatile unsigned sink = 0;
  std::clock_t start = std::clock();
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::clock() - start < CLOCKS_PER_SEC / 5 && std::chrono::steady_clock::now() < give_up)
    for (char c : std::string_view(touched).substr(0, 4096)) sink = sink + static_cast<unsigned>(c);
  auto cpu_after = process_cpu_times(::getpid());
  auto rss_after = process_rss_bytes(::getpid());
  ASSERT_TRUE(cpu_after && rss_after);
  EXPECT_GE(cpu_after->total() - cpu_before->total(), 0.15);
  EXPECT_GE(*rss_after, *rss_before + (48u << 20));
}

TEST(ProcessFigures, AreAbsentForAProcessThatDoesNotExist) {
  // Process ids are bounded well below this on every system we run on.
  EXPECT_FALSE(process_cpu_times(999999999));
  EXPECT_FALSE(process_rss_bytes(999999999));
}

}  // namespace
}  // namespace velmora::bench
