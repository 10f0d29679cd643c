// hexmidi: plays MIDI messages written as text on standard input. No arguments, no output.
#include <cstdio>

#include "command_loop.h"
#include "live_input.h"
#include "stop_signals.h"

int main(int /*argc*/, char** /*argv*/) {
  hexmidi::silence_standard_output();
  static hexmidi::StopRequest stop;
  hexmidi::catch_stop_requests(stop);
  hexmidi::announce_live_input(stdin);
  int status = hexmidi::run_command_loop(stdin, stop);
  hexmidi::end_as_stop_asks(stop);
  return status;
}
