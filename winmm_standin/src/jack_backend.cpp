// Device 0 on a JACK server: a MIDI input port of another client (which one: see
// jack_destination_choice.cpp), fed from our own output port "out".
//
// The program's thread writes records into a lock-free ring buffer; the process callback turns
// them into MIDI events. Each record carries the frame at which it was sent, and goes out one
// period later, so that latency is one period and the stream's own timing is kept to the frame.
// The callback never allocates, locks, blocks or prints. Where the program's thread must wait for
// it (for room in the ring, for the ring to drain), it sleeps until the callback's next cycle
// wakes it.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <jack/thread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backend.h"
#include "bounded_call.h"
#include "callback_wakeup.h"
#include "jack_destination_choice.h"
#include "reading_thread_priority.h"

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
// The longest the program's thread sleeps at a time while it waits for the callback, which wakes
// it at the end of each cycle. The bound matters only when the server runs no cycles (stalled, or
// gone without a word): it keeps the stall checks, and a stop's grace, within a few milliseconds
// of their limits, and wakes an idle thread no more than a hundred times a second.
constexpr auto longest_sleep = 10ms;
// A destination that takes nothing and a server that runs no cycle for this long are taken to be
// gone for good: the drain, the reset and the close give the server up rather than hang, and
// the run ends with what it has sent.
constexpr auto drain_give_up = 5s;
// How long open waits for a new connection to carry data before playing anyway, so that a graph
// that never completes the link cannot hang the run.
constexpr auto link_give_up = 2s;
// How long open keeps asking a server that is there but failed the exchange, and how long it
// pauses between tries. A busy server can answer too late, and JACK2 names a client's
// notification socket after the client alone: two clients of one name opening at once on two
// servers take each other's socket, and both opens fail. Either passes in milliseconds.
constexpr auto open_give_up = 2s;
constexpr auto open_retry_pause = 10ms;
// How long a call that waits for the server's answer may take before the server counts as not
// answering (suspended by its user, or deadlocked): libjack's own calls would wait forever (see
// bounded_call.h). The bound of the retries above, for the same reason: a server at work answers
// within milliseconds even on a loaded machine. Less would take a slow answer for none and play
// to another port while the user's server runs; more only makes a stuck server cost more.
constexpr auto answer_give_up = 2s;
// While the program runs, a short message waits for room for as long as the server is up: a
// synchronous server stands still for a stalled client and then goes on without it, and nothing
// that fits in the ring by then is lost. Only a stop cuts that wait short, and a reset, after
// which the program is ending: from there on it is bounded as the drain is.
constexpr auto never = std::chrono::steady_clock::duration::max();

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
  void bound_waits_for_room() override { room_give_up_ = drain_give_up; }
  void drain() override;
  bool close() override;

 private:
  // The program's side.
  template <typename Call>
  auto ask_server(Call call);
  // The port is lost for good: the thread reads on without one, so at normal priority.
  MMRESULT port_lost() {
    reading_priority_.lower();
    return MMSYSERR_NODRIVER;
  }
  bool write_record(const std::uint8_t* bytes, std::size_t length, bool is_long);
  template <typename Ready, typename GiveUp>
  bool wait_for_cycles(Ready ready, GiveUp give_up);
  auto stalled_after(std::chrono::steady_clock::duration limit);
  bool wait_for_room(std::size_t length);
  bool write_long_pieces();
  bool finish_writing_long_message();
  bool wait_until_consumed(std::uint64_t position);
  bool server_gone() const { return server_gone_.load(std::memory_order_acquire); }
  // The server is gone, or the destination was given up at a stop: nothing more can be sent.
  bool cannot_send() const { return given_up_ || server_gone(); }
  bool stalled_for(std::chrono::steady_clock::duration limit);
  std::string choose_destination();
  void wait_until_link_carries_data(const std::string& destination);
  void raise_reading_thread_below_clients();

  // The callback's side.
  static int process(jack_nframes_t frames, void* self);
  static void on_shutdown(void* self);
  void write_due_events(jack_nframes_t frames);

  jack_client_t* client_ = nullptr;
  jack_port_t* out_ = nullptr;
  // Connected to the destination for a moment after "out", as a sign that the destination has
  // taken up our link (see wait_until_link_carries_data). The callback keeps it silent.
  std::atomic<jack_port_t*> probe_{nullptr};
  jack_ringbuffer_t* ring_ = nullptr;
  bool active_ = false;
  ReadingThreadPriority reading_priority_;

  std::atomic<bool> server_gone_{false};
  std::atomic<std::uint64_t> consumed_{0};  // ring bytes the callback has handed on
  std::atomic<std::uint64_t> cycles_{0};
  // Pieces of a long message that a reset took back, as the range of ring positions they lie in:
  // the callback drops those it has not sent. Only pieces, never a short message in between, and
  // never those of an earlier long message, which had been let go and so count as sent.
  std::atomic<std::uint64_t> drop_long_from_{0};
  std::atomic<std::uint64_t> drop_long_before_{0};
  CallbackWakeup wakeup_;  // the program's thread sleeps on it, the callback ends its sleep

  // Program thread only.
  std::uint64_t written_ = 0;  // ring bytes written
  bool given_up_ = false;      // the server stopped answering, or the destination taking anything
  std::chrono::steady_clock::duration room_give_up_ = never;
  std::uint64_t seen_progress_ = 0;  // for stalled_for: ring bytes taken plus cycles run, as seen
  std::chrono::steady_clock::time_point seen_progress_at_{};
  const std::uint8_t* long_bytes_ = nullptr;
  std::size_t long_length_ = 0;
  std::size_t long_written_ = 0;
  std::uint64_t long_start_ = 0;  // ring position of the long message's first piece
  bool long_active_ = false;      // started, and not yet let go of or abandoned

  // Callback thread only.
  std::uint64_t read_position_ = 0;
  std::size_t current_record_sent_ = 0;  // bytes of the oldest record already sent, when split
};

// No server (JackServerFailed) means no JACK here: the next backend is tried at once. A server
// that is there but failed the exchange is asked again for a while first, as falling back then
// would play to another port, or to none, while the user's server runs. jackd's libjack says
// JackServerError then, PipeWire's JackInitFailure; so any failure but JackServerFailed counts
// as a server there (only JackServerError did, and a busy PipeWire lost the run).
// A server that does not answer within the same bound counts as no server; a client it hands
// out later is closed on the call's own thread and never used.
jack_client_t* open_client() {
  using Attempt = std::pair<jack_client_t*, jack_status_t>;
  const auto give_up_at = std::chrono::steady_clock::now() + open_give_up;
  for (;;) {
    const auto attempt = answer_within<Attempt>(
        give_up_at - std::chrono::steady_clock::now(),
        [] {
          jack_status_t status{};
          return Attempt{jack_client_open("hexmidi", JackNoStartServer, &status), status};
        },
        [](Attempt late) {
          if (late.first != nullptr) jack_client_close(late.first);
        });
    if (!attempt) return nullptr;
    const auto [client, status] = *attempt;
    if (client != nullptr) return client;
    const bool server_there = (status & JackServerFailed) == 0;
    if (!server_there || program_stopping() || std::chrono::steady_clock::now() >= give_up_at) {
      return nullptr;
    }
    std::this_thread::sleep_for(open_retry_pause);
  }
}

// For the calls that wait for the server's answer: theirs, or nothing. One it gives up on gives
// the server up for good: the call may still be under way, so the client is never used or
// closed again (and the backend, which the call may still use, is never destroyed).
template <typename Call>
auto JackBackend::ask_server(Call call) {
  auto answer = answer_within<decltype(call())>(answer_give_up, call);
  given_up_ = given_up_ || !answer;
  return answer;
}

bool JackBackend::open() {
  silence_libjack();
  if (!wakeup_.usable()) return false;
  client_ = open_client();
  if (client_ == nullptr) return false;
  // Look for a destination before anything else, so that a server without one costs little.
  std::string destination = choose_destination();
  if (destination.empty()) return false;
  ring_ = jack_ringbuffer_create(ring_size);
  if (ring_ == nullptr) return false;
  out_ = ask_server([this] {
           return jack_port_register(client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
         }).value_or(nullptr);
  if (out_ == nullptr) return false;
  probe_ = ask_server([this] {
             return jack_port_register(client_, "link-probe", JACK_DEFAULT_MIDI_TYPE,
                                       JackPortIsOutput, 0);
           }).value_or(nullptr);
  if (given_up_) return false;
  // Touch every page now: the callback must never take a page fault on first use, and a run's
  // memory should not depend on how far a burst happens to fill the ring. (mlock alone is not
  // enough: it may be refused, or do nothing, without a word.)
  std::memset(ring_->buf, 0, ring_->size);
  jack_ringbuffer_mlock(ring_);
  if (jack_set_process_callback(client_, &JackBackend::process, this) != 0) return false;
  jack_on_shutdown(client_, &JackBackend::on_shutdown, this);
  if (ask_server([this] { return jack_activate(client_); }).value_or(-1) != 0) return false;
  active_ = true;
  auto connect = [this, destination] {
    return jack_connect(client_, jack_port_name(out_), destination.c_str());
  };
  if (ask_server(connect).value_or(-1) != 0) return false;
  wait_until_link_carries_data(destination);
  // Last: only a port that is open and connected is a reason to read at real-time priority.
  raise_reading_thread_below_clients();
  return true;
}

// jackd's connection carries data once jack_connect returns. PipeWire's link is completed after
// it returns, by each end's own (not real-time) thread when the server's messages reach it, and
// the server waits for neither: what our port sends before the destination's end has taken up
// the link reaches nobody, and a one-note run on a loaded machine lost all it sent. libjack
// reports our own end only (jack_port_connected, the port-connect, graph-order and latency
// callbacks all come at that one moment); nothing of the destination's end ever reaches us, and
// the server's own link state turns active before either end has it.
// What does: a second link into the same destination. The server hands the destination buffers
// for it and waits for its answer before completing that link on our side, and the destination
// reads the server's messages in order, so it has taken up the first link by then. Our probe
// port is connected once "out" is, and disconnected and removed once that second link completes;
// then two of our own cycles, as PipeWire's libjack reports our end now and then a cycle early.
// On jackd this costs a few calls and two periods once. Rejected: a fixed delay (too short on a
// loaded machine, needlessly long everywhere else), and counting cycles after our own end
// connects (the destination's thread may lag it by many periods).
void JackBackend::wait_until_link_carries_data(const std::string& destination) {
  const auto give_up_at = std::chrono::steady_clock::now() + link_give_up;
  auto give_up = [&] {
    return program_stopping() || std::chrono::steady_clock::now() >= give_up_at;
  };
  auto connected = [](jack_port_t* port) {
    return [port] { return jack_port_connected(port) != 0; };
  };
  if (!wait_for_cycles(connected(out_), give_up)) return;
  jack_port_t* const probe = probe_.load(std::memory_order_relaxed);
  auto connect = [this, probe, &destination] {
    return jack_connect(client_, jack_port_name(probe), destination.c_str());
  };
  if (probe != nullptr && ask_server(connect).value_or(-1) == 0) {
    wait_for_cycles(connected(probe), give_up);
  }
  // The callback takes the probe anew every cycle: two cycles after this it no longer touches it.
  probe_.store(nullptr, std::memory_order_release);
  const std::uint64_t target = cycles_.load(std::memory_order_acquire) + 2;
  const bool passed =
      wait_for_cycles([&] { return cycles_.load(std::memory_order_acquire) >= target; }, give_up);
  if (passed && probe != nullptr) {
    ask_server([this, probe] { return jack_port_unregister(client_, probe); });
  }
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

std::string JackBackend::choose_destination() {
  std::optional<JackInputPort> chosen = choose_jack_device_zero(other_clients_midi_inputs(client_));
  return chosen ? chosen->name : std::string{};
}

// Both calls wait for the server's answer, and a stopped server would hold them forever: they
// are bounded as the open is. A server given up is not asked at all.
bool JackBackend::close() {
  reading_priority_.lower();
  if (client_ != nullptr && !given_up_) {
    jack_client_t* client = client_;
    const bool active = active_;
    given_up_ = !call_within(answer_give_up, [client, active] {
      if (active) jack_deactivate(client);
      jack_client_close(client);
    });
    if (!given_up_) client_ = nullptr;
  }
  if (client_ != nullptr) {
    give_up_service_at_exit();
    return false;
  }
  if (ring_ != nullptr) {
    jack_ringbuffer_free(ring_);
    ring_ = nullptr;
  }
  return true;
}

// True once the server has run no cycle and the callback has taken nothing from the ring for
// `limit` (counted from the first look of a wait, so each wait grants the whole of it). Cycles
// count as progress even when nothing was due in them: a server whose clock lags the wall clock
// (a dummy driver on a busy machine) takes what was sent only when its clock gets there, and
// that is not a stall. At a stop the limit is the stop's brief grace. A stall gives the server up
// for good, in whatever state it stalled.
bool JackBackend::stalled_for(std::chrono::steady_clock::duration limit) {
  auto now = std::chrono::steady_clock::now();
  std::uint64_t progress =
      consumed_.load(std::memory_order_acquire) + cycles_.load(std::memory_order_acquire);
  if (progress != seen_progress_) {
    seen_progress_ = progress;
    seen_progress_at_ = now;
  }
  if (program_stopping()) {
    limit = std::min<std::chrono::steady_clock::duration>(limit, stopping_grace);
  }
  if (now - seen_progress_at_ <= limit) return false;
  given_up_ = true;
  return true;
}

// The one way the program's thread waits for the callback: sleeps cycle by cycle until `ready()`,
// true then. False once nothing more can be sent, or `give_up()` says so, or the semaphore fails
// (which gives the server up rather than spin).
template <typename Ready, typename GiveUp>
bool JackBackend::wait_for_cycles(Ready ready, GiveUp give_up) {
  for (;;) {
    wakeup_.expect();
    if (cannot_send()) return false;
    if (ready()) return true;
    if (give_up()) return false;
    if (!wakeup_.sleep(longest_sleep)) {
      given_up_ = true;
      return false;
    }
  }
}

// The give-up rule of a wait that a stall ends (see stalled_for), counted from now.
auto JackBackend::stalled_after(std::chrono::steady_clock::duration limit) {
  seen_progress_at_ = std::chrono::steady_clock::now();
  return [this, limit] { return stalled_for(limit); };
}

bool JackBackend::wait_for_room(std::size_t length) {
  return wait_for_cycles(
      [&] { return jack_ringbuffer_write_space(ring_) >= sizeof(RecordHeader) + length; },
      stalled_after(room_give_up_));
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
  // Whatever is sent after a long message follows all of it.
  const bool sent = !cannot_send() && (!long_active_ || finish_writing_long_message()) &&
                    write_record(bytes, length, false);
  return sent ? MMSYSERR_NOERROR : port_lost();
}

MMRESULT JackBackend::start_long_message(const std::uint8_t* bytes, std::size_t length) {
  if (cannot_send()) return port_lost();
  long_bytes_ = bytes;
  long_length_ = length;
  long_written_ = 0;
  long_start_ = written_;
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
  return true;
}

bool JackBackend::finish_writing_long_message() {
  return wait_for_cycles([&] { return write_long_pieces(); }, stalled_after(room_give_up_));
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
  wait_until_consumed(drop_long_before_.load(std::memory_order_relaxed));
  drop_long_from_.store(long_start_, std::memory_order_relaxed);
  drop_long_before_.store(written_, std::memory_order_release);
}

// False when the callback stalled before it got there, or nothing more can be sent.
bool JackBackend::wait_until_consumed(std::uint64_t position) {
  return wait_for_cycles([&] { return consumed_.load(std::memory_order_acquire) >= position; },
                         stalled_after(drain_give_up));
}

void JackBackend::drain() {
  if (long_active_ && !finish_writing_long_message()) return;
  if (!wait_until_consumed(written_)) return;
  // The cycle that took the last event hands it to the destination before the next one starts;
  // waiting for two more cycles makes sure it has, before our port goes away.
  const std::uint64_t target = cycles_.load(std::memory_order_acquire) + 2;
  wait_for_cycles([&] { return cycles_.load(std::memory_order_acquire) >= target; },
                  stalled_after(drain_give_up));
}

int JackBackend::process(jack_nframes_t frames, void* self) {
  auto* backend = static_cast<JackBackend*>(self);
  // A port's buffer holds whatever was left in it until the port's client clears it.
  if (jack_port_t* probe = backend->probe_.load(std::memory_order_acquire)) {
    jack_midi_clear_buffer(jack_port_get_buffer(probe, frames));
  }
  backend->write_due_events(frames);
  backend->cycles_.fetch_add(1, std::memory_order_release);
  backend->wakeup_.notify();
  return 0;
}

void JackBackend::on_shutdown(void* self) {
  auto* backend = static_cast<JackBackend*>(self);
  backend->server_gone_.store(true, std::memory_order_release);
  backend->wakeup_.notify();
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
  // Before first, from second: a range's end is published after its start, so a start newer than
  // the end read only makes the range empty, never wider.
  const std::uint64_t drop_before = drop_long_before_.load(std::memory_order_acquire);
  const std::uint64_t drop_from = drop_long_from_.load(std::memory_order_relaxed);
  jack_nframes_t earliest_free = 0;

  for (;;) {
    RecordHeader header{};
    if (jack_ringbuffer_read_space(ring_) < sizeof header) break;
    jack_ringbuffer_peek(ring_, reinterpret_cast<char*>(&header), sizeof header);
    const std::size_t record_size = sizeof header + header.length;

    if (header.length == 0 || (header.is_long != 0 && read_position_ >= drop_from &&
                               read_position_ + record_size <= drop_before)) {
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
  if (backend->open()) return backend;
  // A server given up keeps the backend: see MidiBackend::close.
  if (!backend->close()) static_cast<void>(backend.release());
  return nullptr;
}

}  // namespace winmm_standin
