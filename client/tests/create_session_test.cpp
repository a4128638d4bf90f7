#include "create_session.h"

#include <gtest/gtest.h>

namespace velmora::client {
namespace {

using namespace std::chrono_literals;
using Clock = PromptWatch::Clock;

const Clock::time_point T0 = Clock::time_point() + 1h;

TEST(PromptWatch, ReadyOnceAPromptHasStoodStillForAMoment) {
  PromptWatch watch(T0);
  EXPECT_FALSE(watch.ready(T0));
  watch.saw_output("in$ ", T0 + 10ms);
  EXPECT_FALSE(watch.ready(T0 + 10ms + PromptWatch::QUIET - 1ms));
  EXPECT_TRUE(watch.ready(T0 + 10ms + PromptWatch::QUIET));
  EXPECT_EQ(watch.next_check(), T0 + 10ms + PromptWatch::QUIET);
}

TEST(PromptWatch, StartUpLinesAndLaterOutputPostponeTheInput) {
  PromptWatch watch(T0);
  // Lines from start-up files are no prompt.
  watch.saw_output("Welcome\n", T0);
  EXPECT_FALSE(watch.ready(T0 + 1s));
  watch.saw_output("$ ", T0 + 1s);
  // More output before the moment has passed starts the wait over.
  watch.saw_output("\x1b[?2004h", T0 + 1s + 50ms);
  EXPECT_FALSE(watch.ready(T0 + 1s + PromptWatch::QUIET));
  EXPECT_TRUE(watch.ready(T0 + 1s + 50ms + PromptWatch::QUIET));
}

TEST(PromptWatch, AShellWithoutAPromptGetsItsInputAfterAWhile) {
  PromptWatch watch(T0);
  EXPECT_FALSE(watch.ready(T0 + PromptWatch::PATIENCE - 1ms));
  EXPECT_TRUE(watch.ready(T0 + PromptWatch::PATIENCE));
  watch.saw_output("only lines\n", T0 + 1s);
  EXPECT_EQ(watch.next_check(), T0 + PromptWatch::PATIENCE);
}

}  // namespace
}  // namespace velmora::client
