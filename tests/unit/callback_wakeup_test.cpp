// The wake-up between a real-time callback, or a stop, and the thread that sleeps on it. Each
// sleep is bounded far above what a wake-up takes, so a missed one shows as a sleep that lasted.
#include "callback_wakeup.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using winmm_standin::CallbackWakeup;

std::chrono::steady_clock::duration time_to_sleep(CallbackWakeup& wakeup,
                                                  std::chrono::nanoseconds longest) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(wakeup.sleep(longest));
  return std::chrono::steady_clock::now() - started;
}

TEST(CallbackWakeup, ARunBetweenTheAnnouncementAndTheSleepEndsTheSleepAtOnce) {
  CallbackWakeup wakeup;
  ASSERT_TRUE(wakeup.usable());
  wakeup.expect();
  wakeup.notify();  // the callback runs after the waiter's look, before its sleep
  EXPECT_LT(time_to_sleep(wakeup, 5s), 1s);
}

TEST(CallbackWakeup, ALeftoverPostDoesNotEndTheNextSleepEarly) {
  CallbackWakeup wakeup;
  wakeup.expect();
  wakeup.notify();  // the waiter found what it waited for at its look, and never slept
  wakeup.expect();
  EXPECT_GE(time_to_sleep(wakeup, 200ms), 200ms);
}

TEST(CallbackWakeup, AStopEndsTheSleepAtOnceEvenBetweenTheLookAndTheSleep) {
  CallbackWakeup wakeup;
  wakeup.expect();
  CallbackWakeup::wake_for_stop();  // the stop handler runs after the waiter looked for a stop
  EXPECT_LT(time_to_sleep(wakeup, 5s), 1s);
}

}  // namespace
