#include "callback_wakeup.h"

#include <time.h>

namespace winmm_standin {

CallbackWakeup::CallbackWakeup() {
  sem_init(&posted_, 0, 0);
}

CallbackWakeup::~CallbackWakeup() {
  sem_destroy(&posted_);
}

void CallbackWakeup::expect() {
  // A post left from an earlier wait that ended some other way (the thing waited for was there
  // at the look) would end the next sleep at once: drop it. sem_trywait on an empty semaphore
  // makes no system call.
  while (sem_trywait(&posted_) == 0) {
  }
  expected_.store(true, std::memory_order_relaxed);
  // Pairs with the fence in notify(): either the callback's run sees the announcement, or the
  // look that follows sees what the run did. Without both fences each side could miss the
  // other's write, and the thread would sleep out its bound for nothing.
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void CallbackWakeup::sleep(std::chrono::nanoseconds longest) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(longest);
  deadline.tv_sec += static_cast<time_t>(seconds.count());
  deadline.tv_nsec += static_cast<long>((longest - seconds).count());
  if (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000L;
  }
  // One try: EINTR is a signal, which the caller answers, and a timeout is the caller's to judge.
  sem_clockwait(&posted_, CLOCK_MONOTONIC, &deadline);
  expected_.store(false, std::memory_order_relaxed);
}

void CallbackWakeup::notify() noexcept {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (expected_.load(std::memory_order_relaxed) &&
      expected_.exchange(false, std::memory_order_relaxed)) {
    sem_post(&posted_);
  }
}

}  // namespace winmm_standin
