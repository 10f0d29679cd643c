#include "reading_thread_priority.h"

#include "backend.h"

namespace winmm_standin {

void ReadingThreadPriority::raise(int priority) {
  if (raised_.load() || !live_input()) return;
  const pthread_t self = pthread_self();
  if (pthread_getschedparam(self, &policy_, &parameters_) != 0) return;
  if (policy_ == SCHED_FIFO || policy_ == SCHED_RR) return;
  sched_param raised{};
  raised.sched_priority = priority;
  if (pthread_setschedparam(self, SCHED_FIFO, &raised) != 0) return;
  thread_ = self;
  raised_.store(true);  // after the fields above, which lower() reads once it sees this
}

void ReadingThreadPriority::lower() noexcept {
  if (!raised_.exchange(false)) return;
  static_cast<void>(pthread_setschedparam(thread_, policy_, &parameters_));
}

}  // namespace winmm_standin
