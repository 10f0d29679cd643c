#pragma once

#include <cstdio>

namespace hexmidi {

// The whole run: opens MIDI output port 0, carries out every command read from `in`, and at the
// end of the input resets and closes the port. Always returns 0, the process's exit status.
int run_command_loop(std::FILE* in);

}  // namespace hexmidi
