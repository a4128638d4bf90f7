#include "detach_key.h"

#include <gtest/gtest.h>

namespace velmora::client {
namespace {

using namespace std::chrono_literals;
using Clock = DetachKeyFilter::Clock;

constexpr char KEY = '\x1c';
const Clock::time_point T0 = Clock::time_point() + 1h;

TEST(DetachKeyFilter, OrdinaryInputPassesAndASinglePressWaitsForItsWindow) {
  DetachKeyFilter filter(KEY, 300ms);
  auto keys = filter.feed("ls\r", T0);
  EXPECT_EQ(keys.to_send, "ls\r");
  EXPECT_FALSE(keys.detach);
  EXPECT_EQ(filter.deadline(), std::nullopt);

  // What came before the key is sent; the key itself waits.
  keys = filter.feed("ab\x1c", T0);
  EXPECT_EQ(keys.to_send, "ab");
  EXPECT_FALSE(keys.detach);
  EXPECT_EQ(filter.deadline(), T0 + 300ms);
  EXPECT_FALSE(filter.expired(T0 + 299ms));
  EXPECT_TRUE(filter.expired(T0 + 300ms));
}

TEST(DetachKeyFilter, TwoPressesSendTheKeyOnceWhetherReadTogetherOrApart) {
  DetachKeyFilter together(KEY, 300ms);
  auto keys = together.feed("x\x1c\x1cy", T0);
  EXPECT_EQ(keys.to_send, "x\x1cy");
  EXPECT_FALSE(keys.detach);
  EXPECT_EQ(together.deadline(), std::nullopt);

  DetachKeyFilter apart(KEY, 300ms);
  EXPECT_EQ(apart.feed("\x1c", T0).to_send, "");
  keys = apart.feed("\x1c", T0 + 120ms);
  EXPECT_EQ(keys.to_send, "\x1c");
  EXPECT_FALSE(keys.detach);
  EXPECT_FALSE(apart.expired(T0 + 1s));

  // Four presses are two keys; a third press alone waits again.
  DetachKeyFilter many(KEY, 300ms);
  EXPECT_EQ(many.feed("\x1c\x1c\x1c\x1c", T0).to_send, "\x1c\x1c");
  EXPECT_EQ(many.feed("\x1c\x1c\x1c", T0).to_send, "\x1c");
  EXPECT_TRUE(many.deadline().has_value());
}

TEST(DetachKeyFilter, OtherInputAfterAPressDetachesAtOnceAndIsDropped) {
  DetachKeyFilter filter(KEY, 300ms);
  auto keys = filter.feed("a\x1cls\r", T0);
  EXPECT_EQ(keys.to_send, "a");
  EXPECT_TRUE(keys.detach);

  DetachKeyFilter later(KEY, 300ms);
  (void)later.feed("\x1c", T0);
  keys = later.feed("q", T0 + 50ms);
  EXPECT_EQ(keys.to_send, "");
  EXPECT_TRUE(keys.detach);
}

TEST(DetachKeyFilter, WithoutADetachKeyEveryByteIsSent) {
  DetachKeyFilter filter(std::nullopt);
  auto keys = filter.feed("\x1c\x1c\x1c", T0);
  EXPECT_EQ(keys.to_send, "\x1c\x1c\x1c");
  EXPECT_FALSE(keys.detach);
  EXPECT_EQ(filter.deadline(), std::nullopt);
}

}  // namespace
}  // namespace velmora::client
