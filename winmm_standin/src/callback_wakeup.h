// How the program's thread sleeps until a real-time callback has run again, instead of polling:
// the callback posts a semaphore at the end of a run, but only when the thread has said that it
// waits, so that a callback with nobody waiting makes no system call at all.
//
// A POSIX semaphore, because sem_post is async-signal-safe and lock-free, as a real-time callback
// needs, and sem_clockwait sleeps on the monotonic clock, so that a change of the wall clock
// cannot stretch a wait. Rejected: a condition variable, whose notify takes a mutex, which the
// callback must never do; a futex of our own, which would tie the stand-in to Linux for nothing.
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

  // The waiting thread, before each look at what the callback has done: from here on the
  // callback's next run wakes it. Announcing before the look, not after, is what keeps a run that
  // ends between the look and the sleep from being missed (the sleep would last its whole bound).
  void expect();

  // Sleeps until a run of the callback ends after the last expect() (without one, it sleeps out
  // the bound), `longest` has passed, or a signal comes in (a stop: the caller looks at it). The
  // bound is the caller's safety net for a callback that has stopped running.
  void sleep(std::chrono::nanoseconds longest);

  // The callback, at the end of each run. Real-time safe: an atomic exchange, and a post only
  // when a thread waits.
  void notify() noexcept;

 private:
  sem_t posted_;
  std::atomic<bool> expected_{false};
};

}  // namespace winmm_standin
