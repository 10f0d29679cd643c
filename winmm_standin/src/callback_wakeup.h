// How the program's thread sleeps until a real-time callback has run again, instead of polling:
// the callback posts a semaphore at the end of a run, but only when the thread has said that it
// waits, so that a callback with nobody waiting makes no system call at all.
//
// A POSIX semaphore, because sem_post is async-signal-safe and lock-free, as a real-time callback
// and a signal handler need, and sem_clockwait sleeps on the monotonic clock, so that a change of
// the wall clock cannot stretch a wait. Rejected: a condition variable, whose notify takes a
// mutex, which neither the callback nor a signal handler may do; a futex of our own, which would
// tie the stand-in to Linux for nothing.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <chrono>

namespace winmm_standin {

class CallbackWakeup {
 public:
  CallbackWakeup();
  ~CallbackWakeup();
  CallbackWakeup(const CallbackWakeup&) = delete;
  CallbackWakeup& operator=(const CallbackWakeup&) = delete;

  // False when the semaphore could not be made: every sleep would fail, so the owner must not
  // rely on it (a backend gives its port up, as when its open fails).
  bool usable() const { return usable_; }

  // The waiting thread, before each look at what the callback has done: from here on the
  // callback's next run wakes it, and so does a stop (wake_for_stop). Announcing before the look,
  // not after, is what keeps a run or a stop that comes between the look and the sleep from
  // being missed (the sleep would last its whole bound).
  void expect();

  // Sleeps until a run of the callback ends after the last expect() (without one, it sleeps out
  // the bound), `longest` has passed, a stop comes in, or a signal does. The bound is the caller's
  // safety net for a callback that has stopped running. False when the semaphore failed: the
  // caller must stop waiting on it, rather than spin on sleeps that return at once.
  [[nodiscard]] bool sleep(std::chrono::nanoseconds longest);

  // The callback, at the end of each run. Real-time safe: an atomic exchange, and a post only
  // when a thread waits.
  void notify() noexcept;

  // The stop path: ends at once the sleep of whichever wakeup last announced a wait, including
  // one that is about to begin. Async-signal-safe: an atomic load and a sem_post.
  static void wake_for_stop() noexcept;

 private:
  sem_t posted_;
  bool usable_ = false;
  std::atomic<bool> expected_{false};
};

}  // namespace winmm_standin
