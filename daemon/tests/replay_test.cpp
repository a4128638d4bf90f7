#include <gtest/gtest.h>

#include <random>
#include <string>

#include "session.h"

namespace velmora::daemon {
namespace {

// Bytes that differ from position to position, so that a misplaced byte shows.
std::string pattern(std::size_t size, std::size_t offset = 0) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(((offset + i) * 131 + (offset + i) / 251) & 0xff);
  return bytes;
}

TEST(Replay, StartsEmptyWithoutStorage) {
  Replay replay;
  EXPECT_EQ(replay.snapshot(), "");
  EXPECT_EQ(replay.size(), 0u);
  EXPECT_EQ(replay.capacity(), 0u);
}

TEST(Replay, KeepsExactlyTheLastLimitBytesInOrder) {
  Replay replay;
  std::string all = pattern(300000);
  std::size_t chunk = 1;
  for (std::size_t at = 0; at < all.size(); at += chunk) {
    chunk = std::min<std::size_t>(all.size() - at, (at % 8192) + 1);
    replay.append(all.data() + at, chunk);
  }
  EXPECT_EQ(replay.size(), REPLAY_LIMIT);
  EXPECT_EQ(replay.snapshot(), all.substr(all.size() - REPLAY_LIMIT));
  // The block stops growing at the limit instead of doubling past it.
  EXPECT_EQ(replay.capacity(), REPLAY_LIMIT);
}

TEST(Replay, DropsTheFirstByteOnlyPastTheLimit) {
  Replay replay;
  std::string all = pattern(REPLAY_LIMIT + 1);
  for (std::size_t at = 0; at < REPLAY_LIMIT; at += 8192) replay.append(all.data() + at, 8192);
  EXPECT_EQ(replay.snapshot(), all.substr(0, REPLAY_LIMIT));

  replay.append(all.data() + REPLAY_LIMIT, 1);
  EXPECT_EQ(replay.size(), REPLAY_LIMIT);
  EXPECT_EQ(replay.snapshot(), all.substr(1));
}

TEST(Replay, SnapshotIsACopy) {
  Replay replay;
  replay.append("prompt$ ");
  std::string before = replay.snapshot();
  replay.append(pattern(REPLAY_LIMIT));
  EXPECT_EQ(before, "prompt$ ");
  EXPECT_EQ(replay.snapshot(), pattern(REPLAY_LIMIT));
}

TEST(Replay, MatchesTheTailOfEverythingAppended) {
  // Random chunk sizes exercise growth, wrapping at the end of the block and trimming across it;
  // the reference is simply the tail of the whole stream.
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> small(1, 8192);
  Replay replay;
  std::string reference;
  std::size_t offset = 0;
  for (int i = 0; i < 400; ++i) {
    // Now and then a chunk larger than the whole replay.
    std::size_t size = i % 97 == 96 ? REPLAY_LIMIT + 5000 : small(random);
    std::string chunk = pattern(size, offset);
    offset += size;
    replay.append(chunk);
    reference += chunk;
    if (reference.size() > REPLAY_LIMIT) reference.erase(0, reference.size() - REPLAY_LIMIT);
    ASSERT_EQ(replay.size(), reference.size()) << "after chunk " << i;
    ASSERT_TRUE(replay.snapshot() == reference) << "after chunk " << i;
  }
}

TEST(Replay, GrowsByDoublingFromASmallBlock) {
  Replay replay;
  replay.append("$ ");
  std::size_t first = replay.capacity();
  EXPECT_GT(first, 0u);
  EXPECT_LE(first, 8192u);
  replay.append(pattern(first));
  EXPECT_EQ(replay.capacity(), 2 * first);
  EXPECT_EQ(replay.snapshot(), "$ " + pattern(first));
}

}  // namespace
}  // namespace velmora::daemon
