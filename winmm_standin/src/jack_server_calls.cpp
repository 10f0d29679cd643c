#include "jack_server_calls.h"

#include <thread>
#include <utility>

#include "backend.h"

namespace winmm_standin {

namespace {

// How long open keeps asking a server that is there but failed the exchange, and how long it
// pauses between tries. A busy server can answer too late, and JACK2 names a client's
// notification socket after the client alone: two clients of one name opening at once on two
// servers take each other's socket, and both opens fail. Either passes in milliseconds.
constexpr auto open_give_up = 2s;
constexpr auto open_retry_pause = 10ms;

void ignore_jack_message(const char*) {}

}  // namespace

void silence_libjack() {
  jack_set_error_function(ignore_jack_message);
  jack_set_info_function(ignore_jack_message);
}

// No server (JackServerFailed) means no JACK here: the next backend is tried at once. A server
// that is there but failed the exchange is asked again for a while first, as falling back then
// would play to another port, or to none, while the user's server runs. jackd's libjack says
// JackServerError then, PipeWire's JackInitFailure; so any failure but JackServerFailed counts as
// a server there. Each try gets the whole bound of an answer, since a failure is an answer: the
// deadline is looked at after the pause, so that no try is started with no time left (it would
// be given up at once, and the server with it). A client the server hands out too late is closed
// on the call's own thread and never used.
jack_client_t* JackServerCalls::open_client() {
  using Attempt = std::pair<jack_client_t*, jack_status_t>;
  const auto retry_until = std::chrono::steady_clock::now() + open_give_up;
  for (;;) {
    const auto attempt = answer_within<Attempt>(
        answer_give_up,
        [] {
          jack_status_t status{};
          return Attempt{jack_client_open("hexmidi", JackNoStartServer, &status), status};
        },
        [](Attempt late) {
          if (late.first != nullptr) jack_client_close(late.first);
        });
    if (!attempt) {
      given_up_ = true;
      return nullptr;
    }
    heard_from_server();
    const auto [client, status] = *attempt;
    if (client != nullptr) return client;
    if ((status & JackServerFailed) != 0 || program_stopping()) return nullptr;
    std::this_thread::sleep_for(open_retry_pause);
    if (std::chrono::steady_clock::now() >= retry_until) return nullptr;
  }
}

// Both calls wait for the server's answer. The close is a request of its own, after the drain
// has judged the server alive: it gets the whole bound, however long the run was idle.
bool JackServerCalls::close_client(jack_client_t* client, bool active) {
  heard_from_server();
  return ask([client, active] {
           if (active) jack_deactivate(client);
           jack_client_close(client);
           return true;
         })
      .has_value();
}

}  // namespace winmm_standin
