#include "callback_wakeup.h"

#include <errno.h>
#include <time.h>

namespace winmm_standin {

namespace {

// The wakeup whose owner waits, or is about to: the program has one waiting thread at a time.
// Cleared by the wakeup's destructor, on the thread that waits, which is also the one a stop
// signal is handled on: the handler never posts a semaphore that is being destroyed.
std::atomic<CallbackWakeup*> waiting_for_stop{nullptr};
static_assert(std::atomic<CallbackWakeup*>::is_always_lock_free);

}  // namespace

CallbackWakeup::CallbackWakeup() : usable_(sem_init(&posted_, 0, 0) == 0) {}

CallbackWakeup::~CallbackWakeup() {
  CallbackWakeup* self = this;
  waiting_for_stop.compare_exchange_strong(self, nullptr);
  if (usable_) sem_destroy(&posted_);
}

void CallbackWakeup::expect() {
  if (!usable_) return;
  waiting_for_stop.store(this, std::memory_order_release);
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

bool CallbackWakeup::sleep(std::chrono::nanoseconds longest) {
  if (!usable_) return false;
  timespec deadline{};
  if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) return false;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(longest);
  deadline.tv_sec += static_cast<time_t>(seconds.count());
  deadline.tv_nsec += static_cast<long>((longest - seconds).count());
  if (deadline.tv_nsec >= 1'000'000'000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1'000'000'000L;
  }
  // One try: EINTR is a signal, which the caller answers, and a timeout is the caller's to judge.
  // Anything else (EINVAL) would come back at once on every try.
  const bool slept = sem_clockwait(&posted_, CLOCK_MONOTONIC, &deadline) == 0 ||
                     errno == ETIMEDOUT || errno == EINTR;
  expected_.store(false, std::memory_order_relaxed);
  return slept;
}

void CallbackWakeup::notify() noexcept {
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (expected_.load(std::memory_order_relaxed) &&
      expected_.exchange(false, std::memory_order_relaxed)) {
    sem_post(&posted_);
  }
}

void CallbackWakeup::wake_for_stop() noexcept {
  CallbackWakeup* waiting = waiting_for_stop.load(std::memory_order_acquire);
  if (waiting != nullptr) sem_post(&waiting->posted_);
}

}  // namespace winmm_standin
