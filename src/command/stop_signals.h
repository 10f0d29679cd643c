// How the process is asked to stop, and how it ends when it was: the one place where the program
// differs between POSIX systems (stop_signals_posix.cpp) and Windows (stop_signals_windows.cpp).
#pragma once

#include "stop_request.h"

namespace hexmidi {

// Points standard output and standard error at nothing, for good, before anything else runs: the
// program prints nothing, and neither may the libraries under it, whatever they write and however
// (a library that prints before any error handler of ours could be set is the reason). A closed
// standard input becomes an empty one, so that no descriptor opened later takes its number.
void silence_standard_output();

// Turns the requests to stop into `stop`: on POSIX SIGINT, SIGTERM and SIGHUP (unless the process
// was started with one of them ignored, as nohup does); on Windows the console's Ctrl-C,
// Ctrl-Break and close events. A read of the input that is blocked, or about to be, ends at once
// as at the end of the input; the port's own waits are cut short too. A second request while the
// run is stopping ends the process at once.
void catch_stop_requests(StopRequest& stop);

// After the run: when a stop was asked, ends the process the way an interrupted program ends on
// this system (by the same signal; STATUS_CONTROL_C_EXIT on Windows), so that a shell or script
// sees an interrupted run and not a finished one. Returns only when no stop was asked.
void end_as_stop_asks(const StopRequest& stop);

}  // namespace hexmidi
