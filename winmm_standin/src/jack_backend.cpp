// Device 0 on a JACK server: the first MIDI input port of another client, fed from our own output
// port "out".
//
// The program's thread writes records into a lock-free ring buffer; the process callback turns
// them into MIDI events. Each record carries the frame at which it was sent, and goes out one
// period later, so that latency is one period and the stream's own timing is kept to the frame.
// The callback never allocates, locks, blocks or prints.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "backend.h"

namespace winmm_standin {

namespace {

// Ahead of the bytes of every message in the ring.
struct RecordHeader {
  std::uint32_t length;
  std::uint32_t is_long;  // 1 for a piece of a long message, which a reset may drop
  jack_nframes_t sent_at;
};

// Room for well over a second of a full-speed burst of short messages, and for a long message's
// pieces to be written well ahead of the callback.
constexpr std::size_t ring_size = std::size_t{1} << 20;
// A long message enters the ring in pieces no larger than this, so that one always fits.
constexpr std::size_t long_piece_size = 64 * 1024;

using namespace std::chrono_literals;
// How long the program's thread sleeps when it must wait for the callback: a small part of any
// period JACK runs with, so that waiting costs latency nowhere and CPU hardly at all.
constexpr auto wait_step = 200us;
constexpr auto longest_progress_wait = 1ms;
// A destination that takes nothing for this long while the server is still up is taken to be
// gone for good; close then gives up rather than hang.
constexpr auto drain_give_up = 5s;
// How long open waits for a connection it has asked for to carry events; past it, the program
// goes on as it would have without the wait.
constexpr auto connection_give_up = 2s;

void ignore_jack_message(const char*) {}

// libjack prints its errors and notices to stderr unless told otherwise, and does so from the
// very first call (a missing server is one). This must come before any other libjack call.
void silence_libjack() {
  jack_set_error_function(ignore_jack_message);
  jack_set_info_function(ignore_jack_message);
}

// Copies n bytes that start `skip` bytes into the readable part of the ring, across its wrap.
void copy_from_ring(jack_ringbuffer_t* ring, std::size_t skip, std::uint8_t* to, std::size_t n) {
  jack_ringbuffer_data_t parts[2];
  jack_ringbuffer_get_read_vector(ring, parts);
  for (const auto& part : parts) {
    if (n == 0) return;
    if (skip >= part.len) {
      skip -= part.len;
      continue;
    }
    std::size_t take = std::min(n, part.len - skip);
    std::memcpy(to, part.buf + skip, take);
    to += take;
    n -= take;
    skip = 0;
  }
}

class JackBackend final : public MidiBackend {
 public:
  ~JackBackend() override { close(); }

  bool open();

  MMRESULT send_message(const std::uint8_t* bytes, std::size_t length) override;
  MMRESULT start_long_message(const std::uint8_t* bytes, std::size_t length) override;
  bool advance_long_message() override;
  void abandon_long_message() override;
  void drain() override;

 private:
  // The program's side.
  bool write_record(const std::uint8_t* bytes, std::size_t length, bool is_long);
  bool wait_for_room(std::size_t length);
  bool write_long_pieces();
  bool finish_writing_long_message();
  bool server_gone() const { return server_gone_.load(std::memory_order_acquire); }
  std::string first_destination();
  void wait_until_connection_carries();
  void wait_for_cycles(std::uint64_t count, std::chrono::steady_clock::time_point give_up_at);
  void close();

  // The callback's side.
  static int process(jack_nframes_t frames, void* self);
  static void on_shutdown(void* self);
  void write_due_events(jack_nframes_t frames);

  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  jack_ringbuffer_t* ring_ = nullptr;
  bool active_ = false;

  std::atomic<bool> server_gone_{false};
  std::atomic<std::uint64_t> consumed_{0};  // ring bytes the callback has handed on
  std::atomic<std::uint64_t> cycles_{0};
  std::atomic<std::uint64_t> drop_long_before_{0};

  // Program thread only.
  std::uint64_t written_ = 0;  // ring bytes written
  const std::uint8_t* long_bytes_ = nullptr;
  std::size_t long_length_ = 0;
  std::size_t long_written_ = 0;
  std::uint64_t long_end_ = 0;  // ring position just past the long message's last piece
  bool long_active_ = false;

  // Callback thread only.
  std::uint64_t read_position_ = 0;
  std::size_t current_record_sent_ = 0;  // bytes of the oldest record already sent, when split
};

bool JackBackend::open() {
  silence_libjack();
  jack_status_t status{};
  client_ = jack_client_open("hexmidi", JackNoStartServer, &status);
  if (client_ == nullptr) return false;
  // Look for a destination before anything else, so that a server without one costs little.
  std::string destination = first_destination();
  if (destination.empty()) return false;
  out_ = jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  ring_ = jack_ringbuffer_create(ring_size);
  if (out_ == nullptr || ring_ == nullptr) return false;
  // Touch every page now: the callback must never take a page fault on first use, and a run's
  // memory should not depend on how far a burst happens to fill the ring. (mlock alone is not
  // enough: it may be refused, or do nothing, without a word.)
  std::memset(ring_->buf, 0, ring_->size);
  jack_ringbuffer_mlock(ring_);
  if (jack_set_process_callback(client_, &JackBackend::process, this) != 0) return false;
  jack_on_shutdown(client_, &JackBackend::on_shutdown, this);
  if (jack_activate(client_) != 0) return false;
  active_ = true;
  if (jack_connect(client_, jack_port_name(out_), destination.c_str()) != 0) return false;
  wait_until_connection_carries();
  return true;
}

// jackd makes the connection before jack_connect returns. PipeWire's JACK returns first and makes
// the link in its graph later: what the callback writes before the link carries goes nowhere,
// and a short input that ends at once was lost whole in half the runs. The port reports the
// connection once the link exists; two cycles after that, events have reached the destination
// in every run tried.
void JackBackend::wait_until_connection_carries() {
  auto give_up_at = std::chrono::steady_clock::now() + connection_give_up;
  while (jack_port_connected(out_) == 0 && !server_gone() &&
         std::chrono::steady_clock::now() < give_up_at) {
    std::this_thread::sleep_for(wait_step);
  }
  wait_for_cycles(2, give_up_at);
}

void JackBackend::wait_for_cycles(std::uint64_t count,
                                  std::chrono::steady_clock::time_point give_up_at) {
  std::uint64_t target = cycles_.load(std::memory_order_acquire) + count;
  while (cycles_.load(std::memory_order_acquire) < target && !server_gone() &&
         std::chrono::steady_clock::now() < give_up_at) {
    std::this_thread::sleep_for(wait_step);
  }
}

// The first MIDI input port of another client, in the order the server lists them. Asked before
// our own port exists, so every port listed is another client's.
std::string JackBackend::first_destination() {
  const char** inputs = jack_get_ports(client_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (inputs == nullptr) return {};
  std::string first = inputs[0] != nullptr ? inputs[0] : "";
  jack_free(inputs);
  return first;
}

void JackBackend::close() {
  if (client_ != nullptr) {
    if (active_) jack_deactivate(client_);
    jack_client_close(client_);
    client_ = nullptr;
  }
  if (ring_ != nullptr) {
    jack_ringbuffer_free(ring_);
    ring_ = nullptr;
  }
}

bool JackBackend::wait_for_room(std::size_t length) {
  while (jack_ringbuffer_write_space(ring_) < sizeof(RecordHeader) + length) {
    if (server_gone()) return false;
    std::this_thread::sleep_for(wait_step);
  }
  return !server_gone();
}

// The header and bytes are published together, so the callback never sees half a record.
bool JackBackend::write_record(const std::uint8_t* bytes, std::size_t length, bool is_long) {
  if (!wait_for_room(length)) return false;
  RecordHeader header{static_cast<std::uint32_t>(length), is_long ? 1u : 0u,
                      jack_frame_time(client_)};
  jack_ringbuffer_data_t parts[2];
  jack_ringbuffer_get_write_vector(ring_, parts);
  auto put = [&parts](const void* from, std::size_t n) {
    auto* source = static_cast<const char*>(from);
    for (auto& part : parts) {
      // A ring that does not wrap leaves the second part null: memcpy must not see it.
      std::size_t take = std::min(n, part.len);
      if (take == 0) continue;
      std::memcpy(part.buf, source, take);
      part.buf += take;
      part.len -= take;
      source += take;
      n -= take;
    }
  };
  put(&header, sizeof header);
  put(bytes, length);
  jack_ringbuffer_write_advance(ring_, sizeof header + length);
  written_ += sizeof header + length;
  return true;
}

MMRESULT JackBackend::send_message(const std::uint8_t* bytes, std::size_t length) {
  if (server_gone()) return MMSYSERR_NODRIVER;
  // Whatever is sent after a long message follows all of it.
  if (long_active_ && !finish_writing_long_message()) return MMSYSERR_NODRIVER;
  return write_record(bytes, length, false) ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
}

MMRESULT JackBackend::start_long_message(const std::uint8_t* bytes, std::size_t length) {
  if (server_gone()) return MMSYSERR_NODRIVER;
  long_bytes_ = bytes;
  long_length_ = length;
  long_written_ = 0;
  long_active_ = true;
  write_long_pieces();
  return MMSYSERR_NOERROR;
}

// Writes as many pieces as there is room for now. True when all of them are in the ring.
bool JackBackend::write_long_pieces() {
  if (long_written_ == long_length_) return true;
  while (long_written_ < long_length_) {
    std::size_t piece = std::min(long_piece_size, long_length_ - long_written_);
    if (jack_ringbuffer_write_space(ring_) < sizeof(RecordHeader) + piece) return false;
    write_record(long_bytes_ + long_written_, piece, true);
    long_written_ += piece;
  }
  long_end_ = written_;
  return true;
}

bool JackBackend::finish_writing_long_message() {
  while (!write_long_pieces()) {
    if (server_gone()) return false;
    std::this_thread::sleep_for(wait_step);
  }
  return true;
}

bool JackBackend::advance_long_message() {
  if (!long_active_) return true;
  auto deadline = std::chrono::steady_clock::now() + longest_progress_wait;
  std::uint64_t consumed_before = consumed_.load(std::memory_order_acquire);
  for (;;) {
    if (server_gone()) break;
    if (write_long_pieces() && consumed_.load(std::memory_order_acquire) >= long_end_) break;
    if (consumed_.load(std::memory_order_acquire) != consumed_before) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(wait_step);
  }
  long_active_ = false;
  return true;
}

void JackBackend::abandon_long_message() {
  if (!long_active_) return;
  drop_long_before_.store(written_, std::memory_order_release);
  long_active_ = false;
}

void JackBackend::drain() {
  if (long_active_) finish_writing_long_message();
  auto last_progress = std::chrono::steady_clock::now();
  std::uint64_t consumed = consumed_.load(std::memory_order_acquire);
  while (consumed < written_ && !server_gone()) {
    std::this_thread::sleep_for(wait_step);
    std::uint64_t now_consumed = consumed_.load(std::memory_order_acquire);
    auto now = std::chrono::steady_clock::now();
    if (now_consumed != consumed) last_progress = now;
    if (now - last_progress > drain_give_up) return;
    consumed = now_consumed;
  }
  // The cycle that took the last event hands it to the destination before the next one starts;
  // waiting for two more cycles makes sure it has, before our port goes away.
  wait_for_cycles(2, std::chrono::steady_clock::now() + drain_give_up);
}

int JackBackend::process(jack_nframes_t frames, void* self) {
  auto* backend = static_cast<JackBackend*>(self);
  backend->write_due_events(frames);
  backend->cycles_.fetch_add(1, std::memory_order_release);
  return 0;
}

void JackBackend::on_shutdown(void* self) {
  static_cast<JackBackend*>(self)->server_gone_.store(true, std::memory_order_release);
}

// Writes every record that is due in this cycle, oldest first, while the port buffer has room.
// A record that fits an empty buffer goes as one event, waiting for the next cycle if need be; a
// longer one is split over as many cycles as it takes. Offsets never go backwards, and a record
// already late goes at the earliest offset still free.
void JackBackend::write_due_events(jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(out_, frames);
  jack_midi_clear_buffer(buffer);
  const std::size_t whole_buffer = jack_midi_max_event_size(buffer);
  const jack_nframes_t cycle_start = jack_last_frame_time(client_);
  const std::uint64_t drop_before = drop_long_before_.load(std::memory_order_acquire);
  jack_nframes_t earliest_free = 0;

  for (;;) {
    RecordHeader header{};
    if (jack_ringbuffer_read_space(ring_) < sizeof header) break;
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&header), sizeof header);
    const std::size_t record_size = sizeof header + header.length;

    if (header.length == 0 ||
        (header.is_long != 0 && read_position_ + record_size <= drop_before)) {
      jack_ringbuffer_read_advance(ring_, record_size);
      read_position_ += record_size;
      current_record_sent_ = 0;
      continue;
    }

    auto due = static_cast<std::int32_t>(header.sent_at + frames - cycle_start);
    if (due >= static_cast<std::int32_t>(frames)) break;  // not yet: neither is anything after it
    auto offset = static_cast<jack_nframes_t>(std::max<std::int32_t>(due, 0));
    offset = std::max(offset, earliest_free);

    const std::size_t room = jack_midi_max_event_size(buffer);
    const std::size_t unsent = header.length - current_record_sent_;
    const bool split = current_record_sent_ > 0 || header.length > whole_buffer;
    std::size_t piece = split ? std::min(unsent, room) : unsent;
    if (piece == 0 || piece > room) break;

    jack_midi_data_t* event = jack_midi_event_reserve(buffer, offset, piece);
    if (event == nullptr) break;
    copy_from_ring(ring_, sizeof header + current_record_sent_, event, piece);
    earliest_free = offset;
    current_record_sent_ += piece;
    if (current_record_sent_ < header.length) break;  // the rest goes next cycle

    jack_ringbuffer_read_advance(ring_, record_size);
    read_position_ += record_size;
    current_record_sent_ = 0;
  }
  consumed_.store(read_position_, std::memory_order_release);
}

}  // namespace

std::unique_ptr<MidiBackend> open_jack_backend() {
  auto backend = std::make_unique<JackBackend>();
  if (!backend->open()) return nullptr;
  return backend;
}

}  // namespace winmm_standin
