// The program's reading thread at a real-time priority, for the backends whose service delivers
// each message the moment it is sent: there the thread's wake-up after each write of a live
// stream is the stream's timing, and an ordinary thread wakes behind every busy process.
//
// Only while that reason holds: a backend raises the thread once its port is open and connected,
// and lowers it again whenever it gives the port up (a failed open, the server gone, the close),
// so that a thread that reads with no port, or goes on to another backend, never runs raised.
// Without a port nothing slows the parsing down: at real-time priority a fast writer
// (`yes m90 | hexmidi`) would hold a core.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <atomic>

namespace winmm_standin {

class ReadingThreadPriority {
 public:
  ReadingThreadPriority() = default;
  ~ReadingThreadPriority() { lower(); }
  ReadingThreadPriority(const ReadingThreadPriority&) = delete;
  ReadingThreadPriority& operator=(const ReadingThreadPriority&) = delete;

  // SCHED_FIFO at `priority` for the calling thread, when the program reads live input and the
  // thread runs at an ordinary policy. One that its user started at a real-time priority (under
  // chrt, say) keeps the priority they chose, higher or lower than ours. Where the system refuses
  // (neither root nor an RLIMIT_RTPRIO of at least that), nothing changes and nothing is said.
  void raise(int priority);

  // Back to the policy the thread had before raise(), if it was raised. From any thread, so that
  // the port's loss lowers the reading thread at once, while it sleeps on its input.
  void lower() noexcept;

 private:
  std::atomic<bool> raised_{false};
  pthread_t thread_{};
  int policy_ = SCHED_OTHER;
  sched_param parameters_{};
};

}  // namespace winmm_standin
