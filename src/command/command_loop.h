#pragma once

#include <cstdio>

#include "stop_request.h"

namespace hexmidi {

// The whole run: opens MIDI output port 0, carries out every command read from `in`, and at the
// end of the input resets and closes the port. A stop asked of `stop` ends the run the same way,
// in order, at the next command or during a long message's wait. Always returns 0; a stopped run
// is ended by its caller the way the stop asks (see stop_signals.h).
int run_command_loop(std::FILE* in, StopRequest& stop);

// For runs that nothing can stop: tests, fuzzing, benchmarks.
int run_command_loop(std::FILE* in);

}  // namespace hexmidi
