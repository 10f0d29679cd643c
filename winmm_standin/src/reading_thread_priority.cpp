#include "reading_thread_priority.h"

#include <pthread.h>
#include <sched.h>

#include "backend.h"

namespace winmm_standin {

bool reading_thread_to_raise() {
  if (!program_input_live()) return false;
  int policy = SCHED_OTHER;
  sched_param parameters{};
  if (pthread_getschedparam(pthread_self(), &policy, &parameters) != 0) return false;
  return policy != SCHED_FIFO && policy != SCHED_RR;
}

void raise_reading_thread(int priority) {
  sched_param parameters{};
  parameters.sched_priority = priority;
  static_cast<void>(pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters));
}

}  // namespace winmm_standin
