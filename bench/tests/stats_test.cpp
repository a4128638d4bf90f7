#include "stats.h"

#include <gtest/gtest.h>

namespace velmora::bench {
namespace {

TEST(Percentile, UsesTheNearestRank) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  EXPECT_EQ(percentile(samples, 0.5), 50);
  EXPECT_EQ(percentile(samples, 0.99), 99);
  EXPECT_EQ(percentile(samples, 1.0), 100);
  EXPECT_EQ(percentile(samples, 0.0), 1);
  EXPECT_EQ(median({3, 1, 2}), 2);
  EXPECT_EQ(median({}), 0);
}

}  // namespace
}  // namespace velmora::bench
