// What the stand-in's API layer asks of a backend. The API layer has already turned every call
// into complete MIDI messages (status byte included, running status expanded) and keeps the
// handle and header bookkeeping; a backend only moves bytes to one destination.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "winmm_standin.h"

namespace winmm_standin {

// Set by winmm_standin_stopping. Once it is, a wait for a destination that has taken nothing for
// `stopping_grace` ends and the destination counts as gone: long enough for a JACK cycle of any
// usual period (1024 frames at 44.1 kHz is 23 ms) to come round, short enough that the reset and
// close after a stop are done well within a tenth of a second.
bool program_stopping() noexcept;
inline constexpr std::chrono::milliseconds stopping_grace{40};

// Set by winmm_standin_live_input: the thread that opens the port reads a live stream, and a
// backend whose service delivers at once raises it while it has a port (see
// reading_thread_priority.h).
bool live_input() noexcept;

class MidiBackend {
 public:
  virtual ~MidiBackend() = default;

  // One complete short message. Waits for room when the way out is full: nothing is dropped.
  // MMSYSERR_NODRIVER once the destination's service has gone.
  virtual MMRESULT send_message(const std::uint8_t* bytes, std::size_t length) = 0;

  // Starts sending a long message whose bytes stay valid until it is finished or abandoned. Only
  // one is in progress at a time; a short message sent meanwhile follows it.
  virtual MMRESULT start_long_message(const std::uint8_t* bytes, std::size_t length) = 0;

  // Moves the long message on. True once the backend no longer needs the caller's bytes (it has
  // handed them to the destination, or holds them in a queue of its own that keeps them ahead of
  // anything sent later and that drain() empties), or when it never can. The message is then
  // finished: the API layer lets go of its header. May wait a little for progress (no longer than
  // about one cycle of the backend's service), so that a caller that polls does not spin a core.
  virtual bool advance_long_message() = 0;

  // Drops whatever of the long message in progress (started, not yet finished) has not left yet,
  // what waits in the backend's own queue included. A finished long message counts as sent and
  // is never dropped: a reset must not take back what was let go of before it.
  virtual void abandon_long_message() = 0;

  // Waits until everything sent has reached the destination, or can't.
  virtual void drain() = 0;

  // Lets go of the port and the connection to its service. False when the service was given up
  // (it stopped answering) and the backend must not be destroyed: a call into the service may
  // still be under way, or its threads may still call ours, with the backend's memory.
  virtual bool close() { return true; }
};

// One per backend built in; each answers null when its service offers no destination. The order
// in which they are tried is decided in one place, open_first_output_backend.
std::unique_ptr<MidiBackend> open_jack_backend();
std::unique_ptr<MidiBackend> open_alsa_backend();
std::unique_ptr<MidiBackend> open_first_output_backend();

}  // namespace winmm_standin
