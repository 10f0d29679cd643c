#include "bounded_call.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "backend.h"
#include "callback_wakeup.h"

namespace winmm_standin {

namespace {

// `threw`: the call ended by an exception (nothing of libjack throws; our own wrapping can run out
// of memory). It is over, so nothing is under way that the process would have to end at once for.
// Longer than the brief grace of a wait for a cycle (stopping_grace): a call that the server is
// answering takes a round of its request thread, which a crowded machine delays by tens of
// milliseconds (seen: a close cut short after 40 ms). One cut short leaves our client in the
// server's graph as the process ends, and a synchronous jackd then waits for it, cycle after
// cycle, for ten times its client timeout: every client of the server stalls for seconds. A
// stuck server costs this once at a stop, well within what a person pressing Ctrl-C waits.
constexpr std::chrono::milliseconds call_grace_at_stop{500};

enum class Outcome { running, returned, threw, abandoned };

struct Call {
  std::function<void()> call;
  std::function<void()> late;
  std::atomic<Outcome> outcome{Outcome::running};
};

// Where the program's thread waits for the calls. Made once and never destroyed: a call abandoned
// at the end of the run may return, and notify it, while the process exits.
CallbackWakeup& returned_wakeup() {
  static CallbackWakeup* wakeup = new CallbackWakeup;
  return *wakeup;
}

#if defined(__GLIBC__)
void end_at_once(int status, void*) {
  _exit(status);
}
#else
void end_at_once() {
  // The status is not told here; the program's normal end is 0.
  _exit(EXIT_SUCCESS);
}
#endif

// An exception must not leave the thread: it would end the process in std::terminate.
void run_on_its_thread(const std::shared_ptr<Call>& state) noexcept {
  bool returned = true;
  try {
    state->call();
  } catch (...) {
    returned = false;
  }
  Outcome expected = Outcome::running;
  if (state->outcome.compare_exchange_strong(expected,
                                             returned ? Outcome::returned : Outcome::threw)) {
    returned_wakeup().notify();
  } else if (returned && state->late) {
    try {
      state->late();
    } catch (...) {
    }
  }
}

bool start_call(const std::shared_ptr<Call>& state) noexcept {
  try {
    std::thread(run_on_its_thread, state).detach();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

void give_up_service_at_exit() {
  // Registered when first needed, not at start: exit handlers run latest first, so this one comes
  // before whatever the library registered until now, its destructors included.
  static std::once_flag registered;
  std::call_once(registered, [] {
#if defined(__GLIBC__)
    on_exit(end_at_once, nullptr);
#else
    atexit(end_at_once);
#endif
  });
}

bool call_within(std::chrono::nanoseconds bound, std::function<void()> call,
                 std::function<void()> late) noexcept {
  std::shared_ptr<Call> state;
  try {
    state = std::make_shared<Call>();
  } catch (...) {
    return false;
  }
  state->call = std::move(call);
  state->late = std::move(late);
  CallbackWakeup& wakeup = returned_wakeup();
  // Announced before the thread starts, so that its return is never missed.
  wakeup.expect();
  if (!start_call(state)) return false;
  auto give_up_at = std::chrono::steady_clock::now() + bound;
  bool stop_seen = false;
  for (;;) {
    const Outcome outcome = state->outcome.load();
    if (outcome != Outcome::running) return outcome == Outcome::returned;
    // At a stop the call gets a grace of its own: a close that the server answers still closes,
    // and one it does not costs no more than that.
    if (!stop_seen && program_stopping()) {
      stop_seen = true;
      give_up_at = std::min(give_up_at, std::chrono::steady_clock::now() + call_grace_at_stop);
    }
    const auto left = give_up_at - std::chrono::steady_clock::now();
    // A semaphore that fails gives the call up too: waiting on would spin.
    if (left <= decltype(left)::zero() || !wakeup.sleep(left)) break;
    wakeup.expect();
  }
  Outcome expected = Outcome::running;
  if (!state->outcome.compare_exchange_strong(expected, Outcome::abandoned)) {
    return expected == Outcome::returned;
  }
  give_up_service_at_exit();
  return false;
}

}  // namespace winmm_standin
