#include "bounded_call.h"

#include <stdlib.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "backend.h"
#include "callback_wakeup.h"

namespace winmm_standin {

namespace {

// `threw`: the call ended by an exception (nothing of libjack throws; our own wrapping can run out
// of memory). It is over, so nothing is under way that the process would have to end at once for.

enum class Outcome { running, returned, threw, abandoned };

struct Call {
  std::function<void()> call;
  std::function<void()> late;
  std::atomic<Outcome> outcome{Outcome::running};
  // The call's thread as the kernel numbers it; 0 until the thread has begun.
  std::atomic<long> thread_id{0};
};

// A call given up may be ended with the process soon after, wherever its thread is. A thread
// that is at work, rather than asleep on the service's answer, may be inside libjack's own
// start: every client first opens JACK2's metadata database there, a Berkeley DB environment in
// /dev/shm shared with the server and every other client, whose mutexes are not robust. A
// process ended while it holds one leaves it held for good, and every JACK server and client of
// that user started later hangs until the files are removed (seen when a stop came while a
// crowded machine kept the open's thread from the CPU past the stop's grace). So a call is given
// up once its thread is asleep, and one still at work when the bound is over is waited for
// until it sleeps or returns, for at most `at_work_allowance`: as long as the server's own
// answer is waited for, since a user's JACK hung for good is far worse than a slow stop on a
// machine that starves us. Nothing tells the program when a thread goes to sleep: its state is
// looked at every `at_work_look`, seldom enough to leave a starved thread the CPU it needs.
// Rejected: a longer grace for every call, which would make a stop wait on a suspended server
// too; telling where libjack is from what it does along the way (the signal mask it sets once
// the database is open, the socket it makes next), which holds for one version of one libjack.
constexpr auto at_work_allowance = std::chrono::seconds(2);
constexpr auto at_work_look = std::chrono::milliseconds(10);

long current_thread_id() {
#if defined(__linux__)
  return static_cast<long>(syscall(SYS_gettid));
#else
  return 0;
#endif
}

// Running or ready to run (R), or in a short uninterruptible wait within its work (D: a page of
// the database's region faulted in), as opposed to asleep until something happens. Where the
// state cannot be read (no /proc, not Linux) the thread counts as asleep: the call is given up
// as before.
bool at_work(long thread_id) {
#if defined(__linux__)
  if (thread_id == 0) return true;  // started, not yet in the call
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld/stat", thread_id);
  std::FILE* stat = std::fopen(path, "re");
  if (stat == nullptr) return false;
  char text[512];
  const std::size_t length = std::fread(text, 1, sizeof text - 1, stat);
  std::fclose(stat);
  text[length] = '\0';
  // "<tid> (<name>) <state> ...": the name may itself hold ") ", so the last one counts.
  const char* end_of_name = nullptr;
  for (const char* at = text; (at = std::strstr(at, ") ")) != nullptr; ++at) end_of_name = at;
  if (end_of_name == nullptr) return false;
  const char state = end_of_name[2];
  return state == 'R' || state == 'D';
#else
  static_cast<void>(thread_id);
  return false;
#endif
}

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
  state->thread_id.store(current_thread_id());
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
  const auto at_work_until = std::chrono::steady_clock::now() + at_work_allowance;
  for (;;) {
    wakeup.expect();
    if (state->outcome.load() != Outcome::running || !at_work(state->thread_id.load()) ||
        std::chrono::steady_clock::now() >= at_work_until || !wakeup.sleep(at_work_look)) {
      break;
    }
  }
  Outcome expected = Outcome::running;
  if (!state->outcome.compare_exchange_strong(expected, Outcome::abandoned)) {
    return expected == Outcome::returned;
  }
  give_up_service_at_exit();
  return false;
}

}  // namespace winmm_standin
