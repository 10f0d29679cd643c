// Whether the reading thread's wake-ups are the music's timing, and so worth a real-time priority:
// the program knows what its input is; how to raise the thread, and to which priority, is the
// port's business (see winmm_standin_live_input).
#pragma once

#include <cstdio>

namespace hexmidi {

// Before the port is opened, on the thread that then reads: where `in` is live (a pipe, a
// terminal, a socket), the thread asks the port to raise it. A regular file keeps normal priority:
// its contents are all there, so there is no timing to keep, and a large one must not hold a core
// at real-time priority while it is parsed.
void announce_live_input(std::FILE* in);

}  // namespace hexmidi
