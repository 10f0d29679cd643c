// Live input on Windows: nothing is raised. winmm has no such call for a stand-in to answer, and
// the Windows scheduler already lifts a thread's priority for a while when the input it waited
// for arrives (its boost on a completed wait), which is what a reading thread needs against busy
// threads of ordinary priority. Going further (a time-critical thread priority, or MMCSS's
// "Pro Audio" task through avrt.dll, which the program does not import) waits until a Windows
// user shows the need.
#include "live_input.h"

namespace hexmidi {

void announce_live_input(std::FILE* /*in*/) {}

}  // namespace hexmidi
