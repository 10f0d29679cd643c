// jack_recorder: a JACK MIDI client that records every event that reaches its input port, losing
// none, for the end-to-end tests.
//
//   jack_recorder <output file> <ready file> [client name]
//
// It joins the server named by JACK_DEFAULT_SERVER (never starting one), registers one MIDI input
// port "in", and once it is active creates <ready file>. Every event is written to <output file>
// as one line: its absolute frame time (jack_last_frame_time of its cycle plus its offset), then
// its bytes in two-digit hex, e.g. "123456 90 3C 7F". On SIGTERM or SIGINT it stops taking events,
// writes out everything it has taken, and exits 0. Exit status 2 means it could not join the
// server, 3 that its ring overflowed (events were lost: the recording is not to be trusted).
//
// The process callback only copies into a lock-free ring; a normal thread turns the ring into
// text. Formatting in the callback was rejected: it would make the recorder, not hexmidi, the
// thing that runs late under load.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// Ahead of each event's bytes in the ring.
struct EventHeader {
  std::uint32_t frame;
  std::uint32_t length;
};

// A megabyte of system-exclusive arrives as many events within a few periods; the ring holds
// several such bursts while the writer catches up.
constexpr std::size_t ring_size = std::size_t{64} << 20;

std::atomic<bool> overflowed{false};
volatile std::sig_atomic_t stop_requested = 0;

jack_port_t* in_port = nullptr;
jack_ringbuffer_t* ring = nullptr;
jack_client_t* client = nullptr;

void ignore_jack_message(const char*) {}

void on_stop_signal(int) {
  stop_requested = 1;
}

int process(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(in_port, frames);
  const jack_nframes_t cycle_start = jack_last_frame_time(client);
  const std::uint32_t count = jack_midi_get_event_count(buffer);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    EventHeader header{cycle_start + event.time, static_cast<std::uint32_t>(event.size)};
    if (jack_ringbuffer_write_space(ring) < sizeof header + event.size) {
      overflowed.store(true, std::memory_order_relaxed);
      continue;
    }
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&header), sizeof header);
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(event.buffer), event.size);
  }
  return 0;
}

// Writes every whole event now in the ring. A header is only ever published together with its
// bytes (the callback writes both before the reader looks again), but a reader can still see the
// header first, so it waits for the bytes rather than reading half an event.
void write_events(std::FILE* out, std::vector<unsigned char>& bytes) {
  for (;;) {
    EventHeader header{};
    if (jack_ringbuffer_read_space(ring) < sizeof header) return;
    jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&header), sizeof header);
    if (jack_ringbuffer_read_space(ring) < sizeof header + header.length) return;
    jack_ringbuffer_read_advance(ring, sizeof header);
    bytes.resize(header.length);
    jack_ringbuffer_read(ring, reinterpret_cast<char*>(bytes.data()), header.length);
    std::fprintf(out, "%u", header.frame);
    for (unsigned char byte : bytes) std::fprintf(out, " %02X", byte);
    std::fputc('\n', out);
  }
}

bool create_ready_file(const char* path) {
  std::FILE* ready = std::fopen(path, "w");
  if (ready == nullptr) return false;
  std::fputs("READY\n", ready);
  return std::fclose(ready) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: jack_recorder <output file> <ready file> [client name]\n");
    return 1;
  }
  const char* name = argc > 3 ? argv[3] : "recorder";
  std::signal(SIGTERM, on_stop_signal);
  std::signal(SIGINT, on_stop_signal);
  jack_set_error_function(ignore_jack_message);
  jack_set_info_function(ignore_jack_message);

  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 1;
  ring = jack_ringbuffer_create(ring_size);
  if (ring == nullptr) return 1;
  jack_ringbuffer_mlock(ring);

  jack_status_t status{};
  client = jack_client_open(name, JackNoStartServer, &status);
  if (client == nullptr) {
    std::fprintf(stderr, "jack_recorder: could not join the server (status 0x%x)\n",
                 static_cast<unsigned>(status));
    return 2;
  }
  in_port = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (in_port == nullptr || jack_set_process_callback(client, process, nullptr) != 0 ||
      jack_activate(client) != 0) {
    std::fprintf(stderr, "jack_recorder: could not register or activate its port\n");
    jack_client_close(client);
    return 2;
  }
  if (!create_ready_file(argv[2])) return 1;

  std::vector<unsigned char> bytes;
  while (stop_requested == 0) {
    write_events(out, bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  // Deactivating waits for the callback to finish its last cycle; whatever it took is then in
  // the ring and is written out before exit.
  jack_deactivate(client);
  write_events(out, bytes);
  jack_client_close(client);
  const bool lost = overflowed.load();
  if (std::fclose(out) != 0) return 1;
  jack_ringbuffer_free(ring);
  return lost ? 3 : 0;
}
