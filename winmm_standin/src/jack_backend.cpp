#include "jack_backend.h"

#include <jack/midiport.h>
#include <jack/thread.h>
#include <sched.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "jack_destination_choice.h"

namespace winmm_standin {

namespace {

// A long message enters the ring in pieces no larger than this, so that one always fits.
constexpr std::size_t long_piece_size = 64 * 1024;

// Up to two; JACK2's sequencer driver says only here which device a port is.
std::vector<std::string> aliases_of(jack_port_t* port) {
  std::vector<char> first(static_cast<std::size_t>(jack_port_name_size()) + 1, '\0');
  std::vector<char> second(first.size(), '\0');
  char* const buffers[2] = {first.data(), second.data()};
  const int count = jack_port_get_aliases(port, buffers);
  std::vector<std::string> aliases;
  for (int i = 0; i < count && i < 2; ++i) aliases.emplace_back(buffers[i]);
  return aliases;
}

// The MIDI input ports of other clients, in the order the server lists them. Asked before our own
// port exists, and ours is an output; jack_port_is_mine keeps ours out should either change.
std::vector<JackInputPort> other_clients_midi_inputs(jack_client_t* client) {
  std::vector<JackInputPort> ports;
  const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (names == nullptr) return ports;
  for (const char** name = names; *name != nullptr; ++name) {
    jack_port_t* port = jack_port_by_name(client, *name);
    if (port == nullptr || jack_port_is_mine(client, port)) continue;
    ports.push_back({*name, aliases_of(port), (jack_port_flags(port) & JackPortIsPhysical) != 0});
  }
  jack_free(names);
  return ports;
}

// How the libjack in use, and the way to the destination, carry a period's events.
MidiCarriage carriage_to(const JackInputPort& destination) {
  const MidiCarriage carriage = midi_carriage(jack_get_version_string());
  if (carriage == MidiCarriage::jack) {
    return goes_over_netjack2(destination) ? MidiCarriage::net : carriage;
  }
  return goes_over_pipewire_network_node(destination) ? MidiCarriage::rtp : carriage;
}

}  // namespace

// Each step that asks the server is bounded; any that fails, or a server given up or gone on the
// way, ends the open, and the next backend is tried.
bool JackBackend::open() {
  silence_libjack();
  if (!wakeup_.usable()) return false;
  client_ = server_.open_client();
  if (client_ == nullptr) return false;
  // Look for a destination before anything else, so that a server without one costs little.
  const std::optional<JackInputPort> chosen =
      choose_jack_device_zero(other_clients_midi_inputs(client_));
  if (!chosen || !ring_.create()) return false;
  const std::string& destination = chosen->name;
  jack_client_t* const client = client_;
  budget_ = PeriodBudget(carriage_to(*chosen),
                         jack_port_type_get_buffer_size(client, JACK_DEFAULT_MIDI_TYPE),
                         jack_get_buffer_size(client), jack_get_sample_rate(client));
  out_ =
      server_
          .ask([client] {
            return jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
          })
          .value_or(nullptr);
  if (out_ == nullptr) return false;
  if (jack_set_process_callback(client_, &JackBackend::process, this) != 0 ||
      jack_set_port_connect_callback(client_, &JackBackend::on_connection_change, this) != 0) {
    return false;
  }
  jack_on_shutdown(client_, &JackBackend::on_shutdown, this);
  if (server_.ask([client] { return jack_activate(client); }).value_or(-1) != 0) return false;
  active_ = true;
  if (!connect_out(destination)) return false;
  // Last: only a port that is open and connected is a reason to read at real-time priority. A
  // link lost since is seen here after the raise, or by on_connection_change after it, which sets
  // the flag before it lowers. (Not jack_port_connected: jackd's libjack sleeps a period in it
  // while the graph change of our own connection is pending, and every one-note run paid it.)
  raise_reading_thread_below_clients();
  if (link_lost_.load()) reading_priority_.lower();
  return true;
}

// jackd's connection carries data once jack_connect returns: that is the sign, and nothing more
// is waited for (each further call and cycle is paid by every one-note run of a script). PipeWire
// completes a link after it returns: see wait_until_link_carries_data.
bool JackBackend::connect_out(const std::string& destination) {
  jack_client_t* const client = client_;
  jack_port_t* const out = out_.load();
  auto connect = [client, out, destination] {
    return jack_connect(client, jack_port_name(out), destination.c_str());
  };
  if (server_.ask(connect).value_or(-1) != 0) return false;
  // jackd switches to the graph with our connection as a cycle begins: one under way now still
  // runs on the graph from before, and what it sent would reach nobody.
  first_cycle_to_send_.store(cycles_begun_.load() + 1);
  if (budget_.under_pipewire() && !wait_until_link_carries_data(destination)) return false;
  return !cannot_send();
}

// A live stream's timing is the moment this thread wakes to read (see winmm_standin_live_input).
// On a server that runs real-time, JACK puts its clients' process threads below its own, and we
// go one below the process threads: parsing then never delays a cycle, and the thread still runs
// ahead of every ordinary process, and of whatever else real-time sits below JACK's threads.
// Rejected: the process threads' own priority (what `chrt -f` at the same number gives), since
// SCHED_FIFO lets no thread preempt another of equal priority, so a cycle could wait behind a
// burst being parsed; and the lowest real-time priority, which would put the thread behind every
// other real-time thread of the machine when JACK tells us where its own begin. A server that
// does not run real-time gets nothing: its cycles wait behind ordinary processes anyway.
void JackBackend::raise_reading_thread_below_clients() {
  if (jack_is_realtime(client_) == 0) return;
  const int priority = jack_client_real_time_priority(client_) - 1;
  if (priority >= sched_get_priority_min(SCHED_FIFO)) reading_priority_.raise(priority);
}

bool JackBackend::close() {
  reading_priority_.lower();
  if (client_ != nullptr && server_.close_client(client_, active_)) client_ = nullptr;
  if (client_ == nullptr) return true;
  give_up_service_at_exit();
  return false;
}

// True once the server has run no cycle and the callback has taken nothing from the ring for
// `limit` (counted from the first look of a wait, so each wait grants the whole of it). Cycles
// count as progress even when nothing was due in them: a server whose clock lags the wall clock
// (a dummy driver on a busy machine) takes what was sent only when its clock gets there, and
// that is not a stall. At a stop the limit is the stop's brief grace. A stall gives the server up
// for good, in whatever state it stalled.
bool JackBackend::stalled_for(std::chrono::steady_clock::duration limit) {
  const auto now = std::chrono::steady_clock::now();
  const std::uint64_t progress = ring_.consumed() + cycles_.load(std::memory_order_acquire);
  if (progress != seen_progress_) {
    seen_progress_ = progress;
    seen_progress_at_ = now;
  }
  if (program_stopping()) {
    limit = std::min<std::chrono::steady_clock::duration>(limit, stopping_grace);
  }
  if (now - seen_progress_at_ <= limit) return false;
  server_.give_up();
  return true;
}

// The give-up rule of a wait that a stall ends (see stalled_for), counted from now.
auto JackBackend::stalled_after(std::chrono::steady_clock::duration limit) {
  seen_progress_at_ = std::chrono::steady_clock::now();
  return [this, limit] { return stalled_for(limit); };
}

bool JackBackend::wait_for_cycles_to_pass(std::uint64_t count,
                                          std::chrono::steady_clock::duration limit) {
  const std::uint64_t target = cycles_.load(std::memory_order_acquire) + count;
  return wait_for_cycles([&] { return cycles_.load(std::memory_order_acquire) >= target; },
                         stalled_after(limit));
}

bool JackBackend::wait_for_room(std::size_t length) {
  return wait_for_cycles([&] { return ring_.has_room_for(length); }, stalled_after(drain_give_up));
}

bool JackBackend::write_record(const std::uint8_t* bytes, std::size_t length) {
  if (!wait_for_room(length)) return false;
  ring_.write(bytes, length, RecordPart::message, jack_frame_time(client_));
  return true;
}

MMRESULT JackBackend::send_message(const std::uint8_t* bytes, std::size_t length) {
  // Refused, as a port that cannot take it would: into RTP-MIDI a system message would take the
  // notes sent with it down (see period_budget.h).
  if (!budget_.can_send(length,
                        bytes[0] >= 0xF0 ? EventKind::system_message : EventKind::message)) {
    return MMSYSERR_INVALPARAM;
  }
  // Whatever is sent after a long message follows all of it.
  const bool sent = !cannot_send() && (!long_active_ || finish_writing_long_message()) &&
                    write_record(bytes, length);
  return sent ? MMSYSERR_NOERROR : port_lost();
}

MMRESULT JackBackend::start_long_message(const std::uint8_t* bytes, std::size_t length) {
  if (cannot_send()) return port_lost();
  // Refused whole, as a port that cannot take it would: never a part of it.
  const EventKind kind = bytes[0] == 0xF0 ? EventKind::system_exclusive : EventKind::other;
  if (!budget_.can_send(length, kind)) return MMSYSERR_INVALPARAM;
  long_bytes_ = bytes;
  long_length_ = length;
  long_written_ = 0;
  long_start_ = ring_.written();
  long_active_ = true;
  write_long_pieces();
  return MMSYSERR_NOERROR;
}

// Writes as many pieces as there is room for now. True when all of them are in the ring.
bool JackBackend::write_long_pieces() {
  while (long_written_ < long_length_) {
    std::size_t piece = std::min(long_piece_size, long_length_ - long_written_);
    if (!ring_.has_room_for(piece)) return false;
    const RecordPart part = long_written_ == 0 ? RecordPart::long_start : RecordPart::long_rest;
    ring_.write(long_bytes_ + long_written_, piece, part, jack_frame_time(client_));
    long_written_ += piece;
  }
  return true;
}

bool JackBackend::finish_writing_long_message() {
  return wait_for_cycles([&] { return write_long_pieces(); }, stalled_after(drain_give_up));
}

// The caller's buffer is let go of as soon as the last piece is in the ring, not when the
// callback has sent it: from there on the ring holds a copy, keeps it ahead of anything sent
// later, and the close drains it. Waiting for the callback instead held a stream of small long
// messages to one a period. Waits for one cycle at most: room comes only at the end of one, and
// between calls the caller looks for a stop.
bool JackBackend::advance_long_message() {
  if (!long_active_) return true;
  bool slept = false;
  const bool written = wait_for_cycles([&] { return write_long_pieces(); },
                                       [&] { return std::exchange(slept, true); });
  if (!written && !cannot_send()) return false;
  long_active_ = false;
  return true;
}

void JackBackend::abandon_long_message() {
  if (!long_active_) return;
  long_active_ = false;
  // The callback reads one range at a time: an earlier one it has not yet passed must keep
  // its place until it has. Two resets so close together are rare, and the wait is a period.
  wait_until_consumed(ring_.end_of_dropped_range());
  ring_.drop_long_pieces(long_start_, ring_.written());
}

// False when the callback stalled before it got there, or nothing more can be sent.
bool JackBackend::wait_until_consumed(std::uint64_t position) {
  return wait_for_cycles([&] { return ring_.consumed() >= position; },
                         stalled_after(drain_give_up));
}

void JackBackend::drain() {
  if (long_active_ && !finish_writing_long_message()) return;
  if (!wait_until_consumed(ring_.written())) return;
  // The cycle that took the last event hands it to the destination before the next one starts
  // (jackd and PipeWire alike begin a cycle once the last has ended, and jack_deactivate waits for
  // a cycle's end too): one more cycle, and it has, before our port goes away. A second one, as
  // this waited before, cost every one-note run a period for nothing.
  wait_for_cycles_to_pass(1, drain_give_up);
}

int JackBackend::process(jack_nframes_t frames, void* self) {
  auto* backend = static_cast<JackBackend*>(self);
  const std::uint64_t cycle = backend->cycles_begun_.fetch_add(1) + 1;
  backend->clear_probe_buffer(frames);
  void* buffer = jack_port_get_buffer(backend->out_.load(std::memory_order_relaxed), frames);
  if (cycle >= backend->first_cycle_to_send_.load()) {
    backend->ring_.write_due_events(buffer, frames, jack_last_frame_time(backend->client_),
                                    backend->budget_);
  } else {
    jack_midi_clear_buffer(buffer);
  }
  backend->cycles_.fetch_add(1);
  backend->wakeup_.notify();
  return 0;
}

void JackBackend::on_shutdown(void* self) {
  auto* backend = static_cast<JackBackend*>(self);
  backend->server_gone_.store(true, std::memory_order_release);
  backend->reading_priority_.lower();
  backend->wakeup_.notify();
}

// On the server's notification thread. Once "out" has been connected, its last connection going
// (the destination left, or someone took the link away) ends the reason to read raised, at once:
// the reading thread may sleep on its input for a long while yet.
void JackBackend::on_connection_change(jack_port_id_t, jack_port_id_t, int connected, void* self) {
  auto* backend = static_cast<JackBackend*>(self);
  jack_port_t* const out = backend->out_.load();
  if (out == nullptr) return;
  const bool out_connected = jack_port_connected(out) != 0;
  if (connected != 0) {
    if (out_connected) backend->out_was_connected_.store(true);
  } else if (!out_connected && backend->out_was_connected_.load()) {
    backend->link_lost_.store(true);
    backend->reading_priority_.lower();
  }
}

std::unique_ptr<MidiBackend> open_jack_backend() {
  auto backend = std::make_unique<JackBackend>();
  if (backend->open()) return backend;
  // A server given up keeps the backend: see MidiBackend::close.
  if (!backend->close()) static_cast<void>(backend.release());
  return nullptr;
}

}  // namespace winmm_standin
