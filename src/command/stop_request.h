// A request to end the run before the end of its input, made where the program's thread cannot be
// (a signal handler, or a console control handler on a thread of its own) and answered by the
// command loop, which reads it between commands and while a long message is waited for.
#pragma once

#include <atomic>

namespace hexmidi {

class StopRequest {
 public:
  // From a handler: one lock-free store, so that it is async-signal-safe. False when a stop had
  // been asked already. `cause` is non-zero: the signal number, or the console event plus one.
  bool ask(int cause) noexcept { return cause_.exchange(cause, std::memory_order_acq_rel) == 0; }

  bool asked() const noexcept { return cause() != 0; }
  int cause() const noexcept { return cause_.load(std::memory_order_acquire); }

  // The command loop has read its last command character and carried out its last command: from
  // now on it calls nothing but the port's reset and close. A handler that has to interrupt the
  // program's reads leaves the thread alone once this is set.
  void mark_reading_over() noexcept { reading_over_.store(true, std::memory_order_release); }
  bool reading_over() const noexcept { return reading_over_.load(std::memory_order_acquire); }

 private:
  // Only a lock-free atomic may be touched from a signal handler.
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
  std::atomic<int> cause_{0};
  std::atomic<bool> reading_over_{false};
};

}  // namespace hexmidi
