// What PipeWire's libjack needs beyond jackd's: a sign that a new link carries data.
#include <jack/midiport.h>

#include "jack_backend.h"

namespace winmm_standin {

namespace {

// How long the open waits for a new link to carry data before playing anyway, so that a graph
// that never completes the link cannot hold the run; a server that runs no cycle and answers
// nothing for answer_give_up meanwhile is given up sooner.
constexpr auto link_give_up = 2s;

}  // namespace

void JackBackend::clear_probe_buffer(jack_nframes_t frames) {
  // A port's buffer holds whatever was left in it until the port's client clears it.
  if (jack_port_t* probe = probe_.load(std::memory_order_acquire)) {
    jack_midi_clear_buffer(jack_port_get_buffer(probe, frames));
  }
}

// PipeWire's link is completed after jack_connect returns, by each end's own (not real-time)
// thread when the server's messages reach it, and the server waits for neither: what our port
// sends before the destination's end has taken up the link reaches nobody, and a one-note run on
// a loaded machine lost all it sent. libjack reports our own end only (jack_port_connected, the
// port-connect, graph-order and latency callbacks all come at that one moment); nothing of the
// destination's end ever reaches us, and the server's own link state turns active before either
// end has it.
// What does: a second link into the same destination. The server hands the destination buffers
// for it and waits for its answer before completing that link on our side, and the destination
// reads the server's messages in order, so it has taken up the first link by then. A probe port
// is connected once "out" is, and removed, on every way out of the wait, once that second link
// completes; then two of our own cycles, as PipeWire's libjack reports our end now and then a
// cycle early. Rejected: a fixed delay (too short on a loaded machine, needlessly long everywhere
// else), and counting cycles after our own end connects (the destination's thread may lag it by
// many periods).
// False when the server was given up or went away meanwhile; a link that never shows within
// link_give_up is played to all the same.
bool JackBackend::wait_until_link_carries_data(const std::string& destination) {
  const auto give_up_at = std::chrono::steady_clock::now() + link_give_up;
  auto server_silent = [this] {
    if (server_.time_left() > server_.time_left().zero()) return false;
    server_.give_up();
    return true;
  };
  auto give_up = [&] {
    return program_stopping() || std::chrono::steady_clock::now() >= give_up_at || server_silent();
  };
  auto connected = [](jack_port_t* port) {
    return [port] { return jack_port_connected(port) != 0; };
  };
  if (!wait_for_cycles(connected(out_.load()), give_up)) return !cannot_send();

  jack_client_t* const client = client_;
  jack_port_t* const probe =
      server_
          .ask([client] {
            return jack_port_register(client, "link-probe", JACK_DEFAULT_MIDI_TYPE,
                                      JackPortIsOutput, 0);
          })
          .value_or(nullptr);
  if (probe == nullptr) return !cannot_send();
  probe_.store(probe, std::memory_order_release);
  auto connect = [client, probe, destination] {
    return jack_connect(client, jack_port_name(probe), destination.c_str());
  };
  if (server_.ask(connect).value_or(-1) == 0) wait_for_cycles(connected(probe), give_up);

  // The callback takes the probe anew every cycle: once every cycle begun before this has ended,
  // none touches it again.
  probe_.store(nullptr, std::memory_order_release);
  const std::uint64_t begun = cycles_begun_.load();
  const std::uint64_t target = begun + 2;
  const bool passed = wait_for_cycles(
      [&] { return cycles_.load() >= target; },
      [&] { return (program_stopping() && cycles_.load() >= begun) || server_silent(); });
  if ((passed || cycles_.load() >= begun) && !cannot_send()) {
    server_.ask([client, probe] { return jack_port_unregister(client, probe); });
  }
  return !cannot_send();
}

}  // namespace winmm_standin
