// one_note_client: the least a correct JACK program does to play one note, the reference for
// hexmidi's one-note run (bench/run_benchmarks.py). It joins a running server (never starting
// one), connects its MIDI output to the first MIDI input port the server lists (another client's:
// ours is an output), writes 90 3C 7F in the first cycle that began after that, and leaves once
// the cycle after the one that wrote it has ended: the destination has had that cycle by then.
// (A cycle under way when jack_connect returned still runs on the graph from before: jackd
// switches graphs as a cycle begins, so a note written then reaches nobody.) It prints
// nothing; the exit status says what failed: 2 no server, 3 no destination, 4 a step of the
// set-up, 5 no cycle ended for 5 s. What hexmidi adds for its own promises (each server call
// bounded, the ring, the destination's ranking, PipeWire's link wait, the reset) is left out.
#include <errno.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <semaphore.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace {

jack_client_t* client = nullptr;
jack_port_t* out = nullptr;
std::atomic<bool> connected{false};           // jack_connect has returned
std::atomic<jack_nframes_t> connected_in{0};  // the first frame of the cycle under way then
std::atomic<std::uint64_t> ended{0};          // cycles ended
std::atomic<std::uint64_t> wrote_in{0};       // the cycle (counted from 1) that wrote the note
sem_t cycle_ended;  // posted by every cycle; sem_post does not block, as a callback must not

void ignore_jack_message(const char*) {}

int process(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(out, frames);
  jack_midi_clear_buffer(buffer);
  const std::uint64_t cycle = ended.load() + 1;
  static const jack_midi_data_t note[] = {0x90, 0x3C, 0x7F};
  if (connected.load() && jack_last_frame_time(client) != connected_in.load() &&
      wrote_in.load() == 0 && jack_midi_event_write(buffer, 0, note, sizeof note) == 0) {
    wrote_in.store(cycle);
  }
  ended.store(cycle);
  sem_post(&cycle_ended);
  return 0;
}

// Sleeps cycle by cycle until the cycle after the note's has ended; false when no cycle ends for
// 5 s (a stalled server), rather than waiting for ever.
bool wait_for_delivery() {
  while (wrote_in.load() == 0 || ended.load() < wrote_in.load() + 1) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 5;
    if (sem_clockwait(&cycle_ended, CLOCK_MONOTONIC, &deadline) != 0 && errno == ETIMEDOUT) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main() {
  jack_set_error_function(ignore_jack_message);
  jack_set_info_function(ignore_jack_message);
  if (sem_init(&cycle_ended, 0, 0) != 0) return 4;
  client = jack_client_open("one_note_client", JackNoStartServer, nullptr);
  if (client == nullptr) return 2;
  int status = 0;
  const char** inputs = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (inputs == nullptr || inputs[0] == nullptr) {
    status = 3;
  } else if ((out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput,
                                       0)) == nullptr ||
             jack_set_process_callback(client, process, nullptr) != 0 ||
             jack_activate(client) != 0) {
    status = 4;
  } else {
    if (jack_connect(client, jack_port_name(out), inputs[0]) != 0) {
      status = 4;
    } else {
      connected_in.store(jack_last_frame_time(client));
      connected.store(true);
      if (!wait_for_delivery()) status = 5;
    }
    jack_deactivate(client);
  }
  jack_free(inputs);
  jack_client_close(client);
  return status;
}
