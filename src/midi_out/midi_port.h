// The MIDI output port as the program uses it: opened once, fed short messages, reset and closed
// once (the reset may come before the end of the run, to let go of a long message at a stop).
// No result is examined: with no port every call simply fails and the run goes on.
#pragma once

#include <cstdint>

#include "midi_api.h"

namespace hexmidi {

void open_port(HMIDIOUT& port);
void send_short_message(HMIDIOUT port, std::uint32_t message);
void reset_port(HMIDIOUT port);
void close_port(HMIDIOUT port);

}  // namespace hexmidi
