#include <gtest/gtest.h>

#include <random>
#include <string>

#include "session.h"
#include "velmora/core/terminal_modes.h"

namespace velmora::daemon {
namespace {

// What a session's replay keeps: the window a resume replays and the stretch before it that the
// mode tracker rescans.
const std::size_t KEPT = TerminalModeTracker(REPLAY_LIMIT).history_size();

// Bytes that differ from position to position, so that a misplaced byte shows.
std::string pattern(std::size_t size, std::size_t offset = 0) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>(((offset + i) * 131 + (offset + i) / 251) & 0xff);
  return bytes;
}

// Printable lines that differ from position to position: no escape sequence among them.
std::string lines(std::size_t size, std::size_t offset = 0) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    std::size_t at = offset + i;
    bytes[i] = at % 64 == 63 ? '\n' : static_cast<char>('!' + (at * 7 + at / 64) % 90);
  }
  return bytes;
}

TEST(Replay, StartsEmptyWithoutStorage) {
  Replay replay(KEPT);
  EXPECT_EQ(replay.snapshot(), "");
  EXPECT_EQ(replay.snapshot("prefix", 100), "prefix");
  EXPECT_EQ(replay.size(), 0u);
  EXPECT_EQ(replay.capacity(), 0u);
}

TEST(Replay, KeepsExactlyTheLastLimitBytesInOrder) {
  Replay replay(KEPT);
  std::string all = pattern(300000);
  std::size_t chunk = 1;
  for (std::size_t at = 0; at < all.size(); at += chunk) {
    chunk = std::min<std::size_t>(all.size() - at, (at % 8192) + 1);
    replay.append(all.data() + at, chunk);
  }
  EXPECT_EQ(replay.size(), KEPT);
  EXPECT_EQ(replay.snapshot(), all.substr(all.size() - KEPT));
  // The block stops growing at the limit instead of doubling past it.
  EXPECT_EQ(replay.capacity(), KEPT);
}

TEST(Replay, DropsTheFirstByteOnlyPastTheLimit) {
  Replay replay(REPLAY_LIMIT);
  std::string all = pattern(REPLAY_LIMIT + 1);
  for (std::size_t at = 0; at < REPLAY_LIMIT; at += 8192) replay.append(all.data() + at, 8192);
  EXPECT_EQ(replay.snapshot(), all.substr(0, REPLAY_LIMIT));

  replay.append(all.data() + REPLAY_LIMIT, 1);
  EXPECT_EQ(replay.size(), REPLAY_LIMIT);
  EXPECT_EQ(replay.snapshot(), all.substr(1));
}

TEST(Replay, SnapshotIsACopy) {
  Replay replay(KEPT);
  replay.append("prompt$ ");
  std::string before = replay.snapshot();
  replay.append(pattern(KEPT));
  EXPECT_EQ(before, "prompt$ ");
  EXPECT_EQ(replay.snapshot(), pattern(KEPT));
}

TEST(Replay, MatchesTheTailOfEverythingAppended) {
  // Random chunk sizes exercise growth, wrapping at the end of the block and trimming across it;
  // the reference is simply the tail of the whole stream. A resume's copy of the newest bytes
  // behind a prefix, and the content in place, are checked against it too.
  std::mt19937 random(7);
  std::uniform_int_distribution<std::size_t> small(1, 8192);
  Replay replay(KEPT);
  std::string reference;
  std::size_t offset = 0;
  for (int i = 0; i < 400; ++i) {
    // Now and then a chunk larger than the whole replay.
    std::size_t size = i % 97 == 96 ? KEPT + 5000 : small(random);
    std::string chunk = pattern(size, offset);
    offset += size;
    replay.append(chunk);
    reference += chunk;
    if (reference.size() > KEPT) reference.erase(0, reference.size() - KEPT);
    ASSERT_EQ(replay.size(), reference.size()) << "after chunk " << i;
    ASSERT_TRUE(replay.snapshot() == reference) << "after chunk " << i;
    auto [older, newer] = replay.pieces();
    ASSERT_TRUE(std::string(older) + std::string(newer) == reference) << "after chunk " << i;
    std::size_t newest = random() % (reference.size() + 10);
    ASSERT_TRUE(replay.snapshot("\x1b[?2004h", newest) ==
                "\x1b[?2004h" +
                    reference.substr(reference.size() - std::min(newest, reference.size())))
        << "after chunk " << i << ", newest " << newest;
  }
}

// A resume's replay from what the pump appended in 8192-byte reads.
std::string resume_replay(const std::string& stream) {
  SessionOutput output(nullptr, WakeUp());
  for (std::size_t at = 0; at < stream.size(); at += 8192) {
    std::size_t size = std::min<std::size_t>(8192, stream.size() - at);
    (void)output.append(stream.data() + at, size);
  }
  auto takeover = output.take_over(nullptr);
  return takeover ? std::string(takeover->replay.view()) : "no takeover";
}

TEST(SessionOutput, ResumeReplaysModesSetBeforeTheWindowWithinTheLimit) {
  const std::string modes = "\x1b[?1049h\x1b[?2004h";
  const std::string after = lines(3 * REPLAY_LIMIT + 123);
  const std::string replay = resume_replay(modes + after);
  ASSERT_EQ(replay.size(), REPLAY_LIMIT);
  EXPECT_EQ(replay.substr(0, modes.size()), modes);
  EXPECT_TRUE(replay.substr(modes.size()) ==
              after.substr(after.size() - (REPLAY_LIMIT - modes.size())));

  // Switched off again before the window, or never switched: exactly the newest output.
  const std::string off = modes + lines(5000) + "\x1b[?1049l\x1b[?2004l" + after;
  EXPECT_TRUE(resume_replay(off) == off.substr(off.size() - REPLAY_LIMIT));
  EXPECT_TRUE(resume_replay(after) == after.substr(after.size() - REPLAY_LIMIT));
  // Output shorter than the window is replayed whole, modes and all, with nothing in front.
  EXPECT_EQ(resume_replay(modes + "$ "), modes + "$ ");
}

}  // namespace
}  // namespace velmora::daemon
