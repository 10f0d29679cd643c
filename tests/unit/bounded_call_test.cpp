// A call that waits on another process, bounded: its answer in time, a late one undone on the
// call's thread, a stop that cuts the bound short, an exception that ends nothing but the call.
// Each bound is far above what the case takes, so a wait that lasted shows plainly.
#include "bounded_call.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>

#include "backend.h"
#include "winmm_standin.h"

namespace {

using namespace std::chrono_literals;
using winmm_standin::answer_within;

TEST(BoundedCall, AnAnswerInTimeIsReturnedAndALateOneGoesToItsHandler) {
  EXPECT_EQ(answer_within<int>(10s, [] { return 7; }), 7);

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<int> discarded;
  EXPECT_EQ(answer_within<int>(
                20ms,
                [released] {
                  released.wait();
                  return 8;
                },
                [&discarded](int late) { discarded.set_value(late); }),
            std::nullopt);
  release.set_value();
  auto late = discarded.get_future();
  ASSERT_EQ(late.wait_for(10s), std::future_status::ready) << "the late answer was not handed on";
  EXPECT_EQ(late.get(), 8);
}

TEST(BoundedCall, AnExceptionInTheCallIsNoAnswerAndEndsNothingElse) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(answer_within<int>(10s, []() -> int { throw std::runtime_error("no memory"); }),
            std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << "the bound was waited out";
}

// The stop is for the whole process, so this case is one of its own (ctest runs each apart).
TEST(BoundedCall, AStopCutsTheBoundToTheStopsGrace) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  winmm_standin_stopping();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(winmm_standin::call_within(60s, [released] { released.wait(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s) << "the stop did not cut the bound";
  release.set_value();
}

// A thread still at work when the grace is over may be inside libjack's own start, which must
// not be cut short (see bounded_call.cpp): the call is given up once its thread waits. The work
// here is on the CPU throughout and outlasts the grace, as a start starved of the CPU does.
TEST(BoundedCall, AStopGivesUpACallOnlyOnceItsThreadWaits) {
#if !defined(__linux__)
  GTEST_SKIP() << "a thread's state is read from /proc";
#endif
  struct Shared {
    std::atomic<bool> given_up{false};
    std::atomic<bool> worked_through{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
  };
  auto shared = std::make_shared<Shared>();
  winmm_standin_stopping();
  const auto work_until = std::chrono::steady_clock::now() + 2 * winmm_standin::call_grace_at_stop;
  EXPECT_FALSE(winmm_standin::call_within(60s, [shared, work_until] {
    while (std::chrono::steady_clock::now() < work_until) {
    }
    shared->worked_through = !shared->given_up.load();
    shared->released.wait();
  }));
  shared->given_up = true;
  EXPECT_TRUE(shared->worked_through.load()) << "given up while its thread was at work";
  shared->release.set_value();
}

}  // namespace
