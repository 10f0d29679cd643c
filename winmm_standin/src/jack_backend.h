// Device 0 on a JACK server: a MIDI input port of another client (which one: see
// jack_destination_choice.cpp), fed from our own output port "out".
//
// The program's thread writes records into a ring (jack_record_ring.h) that the process callback
// turns into MIDI events. Where the program's thread must wait for the callback (for room in the
// ring, for the ring to drain, for a link to carry data), it sleeps until the callback's next cycle
// wakes it. Every call that waits for the server is bounded (jack_server_calls.h). What PipeWire's
// libjack needs beyond jackd's is in pipewire_link.cpp.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "backend.h"
#include "callback_wakeup.h"
#include "jack_record_ring.h"
#include "jack_server_calls.h"
#include "reading_thread_priority.h"

namespace winmm_standin {

class JackBackend final : public MidiBackend {
 public:
  ~JackBackend() override { close(); }

  bool open();

  MMRESULT send_message(const std::uint8_t* bytes, std::size_t length) override;
  MMRESULT start_long_message(const std::uint8_t* bytes, std::size_t length) override;
  bool advance_long_message() override;
  void abandon_long_message() override;
  void drain() override;
  bool close() override;

 private:
  // A destination that takes nothing and a server that runs no cycle for this long are taken to
  // be gone for good: the waits give the server up rather than hang, and the run ends with what it
  // has sent. While the program runs, a short message waits for room that long too: a synchronous
  // server stands still for a stalled client and then goes on without it, and nothing that fits
  // in the ring by then is lost; a server that has run no cycle for 5 s is gone for music, and the
  // input is then read to its end rather than held (with its writer) until a signal.
  static constexpr std::chrono::seconds drain_give_up{5};

  // The longest the program's thread sleeps at a time while it waits for the callback, which wakes
  // it at the end of each cycle. The bound matters only when the server runs no cycles (stalled, or
  // gone without a word): it keeps the stall checks, and a stop's grace, within a few milliseconds
  // of their limits, and wakes an idle thread no more than a hundred times a second.
  static constexpr std::chrono::milliseconds longest_sleep{10};

  // The program's side.
  bool connect_out(const std::string& destination);
  bool wait_until_link_carries_data(const std::string& destination);
  void raise_reading_thread_below_clients();
  // The port is lost for good: the thread reads on without one, so at normal priority.
  MMRESULT port_lost() {
    reading_priority_.lower();
    return MMSYSERR_NODRIVER;
  }
  bool write_record(const std::uint8_t* bytes, std::size_t length);
  template <typename Ready, typename GiveUp>
  bool wait_for_cycles(Ready ready, GiveUp give_up);
  auto stalled_after(std::chrono::steady_clock::duration limit);
  bool stalled_for(std::chrono::steady_clock::duration limit);
  bool wait_for_room(std::size_t length);
  bool write_long_pieces();
  bool finish_writing_long_message();
  bool wait_until_consumed(std::uint64_t position);
  bool wait_for_cycles_to_pass(std::uint64_t count, std::chrono::steady_clock::duration limit);
  bool server_gone() const { return server_gone_.load(std::memory_order_acquire); }
  // The server is gone or given up, or the destination was given up: nothing more can be sent.
  bool cannot_send() const { return server_.given_up() || server_gone(); }

  // The callback's side, and the server's other threads.
  static int process(jack_nframes_t frames, void* self);
  static void on_shutdown(void* self);
  static void on_connection_change(jack_port_id_t, jack_port_id_t, int connected, void* self);
  void clear_probe_buffer(jack_nframes_t frames);

  JackServerCalls server_;
  jack_client_t* client_ = nullptr;
  std::atomic<jack_port_t*> out_{nullptr};
  // Under PipeWire only: connected to the destination for a moment after "out", as the sign that
  // the destination has taken up our link (see pipewire_link.cpp). The callback keeps it silent.
  std::atomic<jack_port_t*> probe_{nullptr};
  JackRecordRing ring_;
  PeriodBudget budget_;  // set before the callback first runs, then the callback's
  bool active_ = false;
  ReadingThreadPriority reading_priority_;

  std::atomic<bool> server_gone_{false};
  std::atomic<bool> out_was_connected_{false};  // as the server's notifications have it
  std::atomic<bool> link_lost_{false};          // connected once, and no longer
  std::atomic<std::uint64_t> cycles_begun_{0};
  // The first cycle (counting from 1) that began after "out" was connected: none before it sends.
  std::atomic<std::uint64_t> first_cycle_to_send_{UINT64_MAX};
  std::atomic<std::uint64_t> cycles_{0};  // ended
  CallbackWakeup wakeup_;  // the program's thread sleeps on it, the callback ends its sleep

  // Program thread only.
  std::uint64_t seen_progress_ = 0;  // for stalled_for: ring bytes taken plus cycles run, as seen
  std::chrono::steady_clock::time_point seen_progress_at_{};
  std::uint64_t seen_cycles_ = 0;  // as last seen by a wait: more is a sign of the server's life
  const std::uint8_t* long_bytes_ = nullptr;
  std::size_t long_length_ = 0;
  std::size_t long_written_ = 0;
  std::uint64_t long_start_ = 0;  // ring position of the long message's first piece
  bool long_active_ = false;      // started, and not yet let go of or abandoned
};

// The one way the program's thread waits for the callback: sleeps cycle by cycle until `ready()`,
// true then. False once nothing more can be sent, or `give_up()` says so, or the semaphore fails
// (which gives the server up rather than spin). Every cycle it sees run is a sign of the server's
// life, which the bounds of its calls run from.
template <typename Ready, typename GiveUp>
bool JackBackend::wait_for_cycles(Ready ready, GiveUp give_up) {
  for (;;) {
    wakeup_.expect();
    if (const std::uint64_t cycles = cycles_.load(std::memory_order_acquire);
        cycles != seen_cycles_) {
      seen_cycles_ = cycles;
      server_.heard_from_server();
    }
    if (cannot_send()) return false;
    if (ready()) return true;
    if (give_up()) return false;
    if (!wakeup_.sleep(longest_sleep)) {
      server_.give_up();
      return false;
    }
  }
}

}  // namespace winmm_standin
