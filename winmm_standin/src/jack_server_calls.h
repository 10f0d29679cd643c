// The calls into libjack that wait for the JACK server's answer (opening a client, registering and
// unregistering ports, activating, connecting, closing), each bounded: libjack's own would wait
// forever for a server that stopped answering (suspended by its user, or deadlocked). See
// bounded_call.h for how a call is bounded and what happens to one that is given up.
//
// The bound runs from the server's last sign of life (an answer, or a cycle that a wait saw), not
// from each call: so however many calls and waits the open makes, a server that stops answering
// costs at most `answer_give_up` from then on, and the README's promise is that figure. A call
// given up gives the server up for good: the call may still be under way, so the client is never
// used or closed again.
#pragma once

#include <jack/jack.h>

#include <chrono>
#include <functional>
#include <optional>

#include "bounded_call.h"

namespace winmm_standin {

using namespace std::chrono_literals;

// How long the server may stay silent before it counts as not answering. A server at work answers
// within milliseconds even on a loaded machine; less would take a slow answer for none and play to
// another port while the user's server runs; more only makes a stuck server cost more.
inline constexpr auto answer_give_up = 2s;

// libjack prints its errors and notices to stderr unless told otherwise, and does so from the very
// first call (a missing server is one). This must come before any other libjack call.
void silence_libjack();

class JackServerCalls {
 public:
  // A client named "hexmidi", or null: no server, a server that kept failing the exchange (asked
  // again for a while), or one that did not answer.
  jack_client_t* open_client();

  // `call`'s answer, or nothing when the server has been silent for `answer_give_up` (the call
  // was abandoned, or not made at all) or was given up before. `call` must own what it uses.
  template <typename Call>
  auto ask(Call call) -> std::optional<decltype(call())>;

  // A sign of life other than an answer: a cycle the server ran.
  void heard_from_server() { heard_at_ = std::chrono::steady_clock::now(); }
  // How long until the server has been silent for `answer_give_up` (zero or less: it has).
  std::chrono::steady_clock::duration time_left() const {
    return heard_at_ + answer_give_up - std::chrono::steady_clock::now();
  }
  bool given_up() const { return given_up_; }
  void give_up() { given_up_ = true; }

  // Deactivates the client (when it was activated) and closes it. False when the server was
  // given up, now or before: the client is then left as it is.
  bool close_client(jack_client_t* client, bool active);

 private:
  std::chrono::steady_clock::time_point heard_at_ = std::chrono::steady_clock::now();
  bool given_up_ = false;
};

template <typename Call>
auto JackServerCalls::ask(Call call) -> std::optional<decltype(call())> {
  using Answer = decltype(call());
  std::optional<Answer> answer;
  const auto left = time_left();
  if (!given_up_ && left > left.zero()) {
    answer = answer_within<Answer>(left, std::move(call));
  }
  if (answer) {
    heard_from_server();
  } else {
    given_up_ = true;
  }
  return answer;
}

}  // namespace winmm_standin
