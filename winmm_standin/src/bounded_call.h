// A call into a library that waits on a service of another process (libjack's calls that ask the
// JACK server and wait for its answer), made so that a service that stops answering (suspended by
// its user, deadlocked) cannot keep the program from ending.
//
// libjack's calls take no timeout: one that waits for a suspended server waits forever, and no
// signal takes it out of the wait. So the call runs on a thread of its own, and the program's
// thread waits for it no longer than a bound. A call it gives up on is abandoned, never stopped:
// it finishes on its own thread if the service ever answers, and its result is thrown away there.
// Rejected: cancelling or killing the thread, which would leave libjack's locks held and its
// state half-changed; a watchdog that ends the whole process, which would end the run before the
// program could fall back to another port, or read the rest of its input.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace winmm_standin {

// Longer than the brief grace of a wait for a cycle (stopping_grace): a call that the server is
// answering takes a round of its request thread, which a crowded machine delays by tens of
// milliseconds (seen: a close cut short after 40 ms). One cut short leaves our client in the
// server's graph as the process ends, and a synchronous jackd then waits for it, cycle after
// cycle, for ten times its client timeout: every client of the server stalls for seconds. A
// stuck server costs this once at a stop, well within what a person pressing Ctrl-C waits.
inline constexpr std::chrono::milliseconds call_grace_at_stop{500};

// Runs `call` on a thread of its own and waits until it returns or `bound` has passed; a stop
// that comes in cuts what is left of the bound to call_grace_at_stop. A call whose thread
// is still at work then, not asleep on the service, is waited for a while longer (at most 2 s;
// see bounded_call.cpp): it may be where libjack must not be cut off. True
// when it returned in time. False when it ended by an exception, or no thread could be started
// for it, or it was abandoned: `late`, when there is one, then runs on the call's thread once the
// call has returned, to undo what it did (close a client that came too late), and the process
// ends as in give_up_service_at_exit. Both functions must own what they use: the caller's scope
// may be gone when they run. Nothing it does throws: running out of memory is a call not made.
bool call_within(std::chrono::nanoseconds bound, std::function<void()> call,
                 std::function<void()> late = {}) noexcept;

// call_within for a call with a result: nothing when call_within is false. A result that comes
// too late goes to `discard`, when there is one, on the call's thread.
template <typename T, typename Call, typename Discard = void (*)(T)>
std::optional<T> answer_within(std::chrono::nanoseconds bound, Call call,
                               Discard discard = nullptr) noexcept {
  try {
    auto answer = std::make_shared<std::optional<T>>();
    std::function<void()> run = [answer, call = std::move(call)] { answer->emplace(call()); };
    std::function<void()> late = [answer, discard] {
      if constexpr (std::is_pointer_v<Discard>) {
        if (discard == nullptr) return;
      }
      discard(**answer);
    };
    if (!call_within(bound, std::move(run), std::move(late))) return std::nullopt;
    return *answer;
  } catch (...) {
    return std::nullopt;
  }
}

// The program has given up a service it may still be connected to (a call into it is
// abandoned, or it stopped answering): when the process exits, it ends at once with the status
// it exits with. The library's own clean-up at exit (its destructors, the closing of its
// connection) would wait for the service, or run while an abandoned call is still inside it.
void give_up_service_at_exit();

}  // namespace winmm_standin
