#include "midi_port.h"

namespace hexmidi {

namespace {
constexpr UINT first_output_device = 0;
}

void open_port(HMIDIOUT& port) {
  midiOutOpen(&port, first_output_device, 0, 0, CALLBACK_NULL);
}

// The value goes out exactly as read, top byte included: the port decides what it means.
void send_short_message(HMIDIOUT port, std::uint32_t message) {
  midiOutShortMsg(port, static_cast<DWORD>(message));
}

void reset_port(HMIDIOUT port) {
  midiOutReset(port);
}

void close_port(HMIDIOUT port) {
  midiOutClose(port);
}

}  // namespace hexmidi
