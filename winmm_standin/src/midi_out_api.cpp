// The seven functions of the MIDI output API, as Windows answers them, over whichever backend
// offers device 0. Handles, headers, running status and sounding notes are kept here, so that
// every backend behaves alike and only moves complete messages.
#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "backend.h"
#include "callback_wakeup.h"
#include "short_message_unpacking.h"
#include "sounding_notes.h"
#include "winmm_standin.h"

namespace winmm_standin {

namespace {

struct Port {
  std::unique_ptr<MidiBackend> backend;
  ShortMessageUnpacker unpacker;
  SoundingNotes notes;
  MIDIHDR* queued_header = nullptr;  // the long message in progress, if any
};

// Handles are checked against the ports that are open, so that a stale or made-up handle answers
// MMSYSERR_INVALHANDLE instead of being dereferenced. A run has one port: a linear search is the
// cheapest lookup there is.
std::vector<Port*>& open_ports() {
  static std::vector<Port*> ports;
  return ports;
}

Port* find_port(HMIDIOUT handle) {
  auto& ports = open_ports();
  auto found = std::find(ports.begin(), ports.end(), reinterpret_cast<Port*>(handle));
  return found == ports.end() ? nullptr : *found;
}

bool is_usable_header(const MIDIHDR* header, UINT size) {
  return header != nullptr && size >= sizeof(MIDIHDR);
}

void mark_done(MIDIHDR* header) {
  header->dwFlags &= ~MHDR_INQUEUE;
  header->dwFlags |= MHDR_DONE;
}

// Lock-free, so that a signal handler may set it.
std::atomic<bool> stopping{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// Set before the open on the thread that opens; atomic all the same, as it costs nothing.
std::atomic<bool> live_input_set{false};

void finish_queued_long_message(Port& port) {
  while (!port.backend->advance_long_message()) {
  }
  mark_done(port.queued_header);
  port.queued_header = nullptr;
}

}  // namespace

bool program_stopping() noexcept {
  return stopping.load(std::memory_order_relaxed);
}

bool live_input() noexcept {
  return live_input_set.load(std::memory_order_relaxed);
}

}  // namespace winmm_standin

using namespace winmm_standin;

extern "C" {

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR /*dwCallback*/,
                     DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
  if (phmo == nullptr) return MMSYSERR_INVALPARAM;
  *phmo = nullptr;
  if (uDeviceID != 0) return MMSYSERR_BADDEVICEID;
  // Callbacks, windows, threads and events are not offered: nothing would ever call them.
  if (fdwOpen != CALLBACK_NULL) return MMSYSERR_INVALPARAM;
  auto backend = open_first_output_backend();
  if (!backend) return MMSYSERR_BADDEVICEID;
  auto* port = new Port{std::move(backend), {}, {}, nullptr};
  open_ports().push_back(port);
  *phmo = reinterpret_cast<HMIDIOUT>(port);
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  Port* port = find_port(hmo);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  auto message = port->unpacker.unpack(dwMsg);
  if (!message) return MMSYSERR_INVALPARAM;
  MMRESULT result = port->backend->send_message(message->bytes, message->length);
  if (result == MMSYSERR_NOERROR) port->notes.note_sent(*message);
  return result;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  if (find_port(hmo) == nullptr) return MMSYSERR_INVALHANDLE;
  if (!is_usable_header(pmh, cbmh)) return MMSYSERR_INVALPARAM;
  if (pmh->lpData == nullptr || pmh->dwBufferLength == 0) return MMSYSERR_INVALPARAM;
  pmh->dwFlags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  Port* port = find_port(hmo);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (!is_usable_header(pmh, cbmh)) return MMSYSERR_INVALPARAM;
  if ((pmh->dwFlags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
  if ((pmh->dwFlags & MHDR_INQUEUE) != 0) return MIDIERR_STILLPLAYING;
  // Windows queues further headers behind the first; one at a time is all a backend takes, so a
  // second waits here for the first, which keeps the order all the same.
  if (port->queued_header != nullptr) finish_queued_long_message(*port);

  auto* bytes = reinterpret_cast<const std::uint8_t*>(pmh->lpData);
  MMRESULT result = port->backend->start_long_message(bytes, pmh->dwBufferLength);
  if (result != MMSYSERR_NOERROR) return result;
  pmh->dwFlags = (pmh->dwFlags | MHDR_INQUEUE) & ~MHDR_DONE;
  port->queued_header = pmh;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT hmo, LPMIDIHDR pmh, UINT cbmh) {
  Port* port = find_port(hmo);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (!is_usable_header(pmh, cbmh)) return MMSYSERR_INVALPARAM;
  if ((pmh->dwFlags & MHDR_INQUEUE) != 0) {
    if (port->queued_header != pmh || !port->backend->advance_long_message()) {
      return MIDIERR_STILLPLAYING;
    }
    mark_done(pmh);
    port->queued_header = nullptr;
  }
  pmh->dwFlags &= ~MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT hmo) {
  Port* port = find_port(hmo);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (port->queued_header != nullptr) {
    port->backend->abandon_long_message();
    mark_done(port->queued_header);
    port->queued_header = nullptr;
  }
  MMRESULT result = MMSYSERR_NOERROR;
  for (const ShortMessage& message : port->notes.take_reset_messages()) {
    MMRESULT sent = port->backend->send_message(message.bytes, message.length);
    if (sent != MMSYSERR_NOERROR) result = sent;
  }
  return result;
}

void winmm_standin_stopping(void) noexcept {
  stopping.store(true, std::memory_order_relaxed);
  // A wait that looked for the stop just before it came would otherwise sleep out its bound.
  CallbackWakeup::wake_for_stop();
}

void winmm_standin_live_input(void) noexcept {
  live_input_set.store(true, std::memory_order_relaxed);
}

MMRESULT midiOutClose(HMIDIOUT hmo) {
  Port* port = find_port(hmo);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  // As on Windows, a port with a long message still queued stays open.
  if (port->queued_header != nullptr) return MIDIERR_STILLPLAYING;
  port->backend->drain();
  auto& ports = open_ports();
  ports.erase(std::find(ports.begin(), ports.end(), port));
  // A backend that gave its service up cannot be destroyed: the service's threads, or a call
  // into it still under way, may yet use its memory. The process ends soon after this call and
  // the kernel closes the connection then.
  if (!port->backend->close()) static_cast<void>(port->backend.release());
  delete port;
  return MMSYSERR_NOERROR;
}

}  // extern "C"
