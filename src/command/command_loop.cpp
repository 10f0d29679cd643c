#include "command_loop.h"

#include "../midi_out/long_message.h"
#include "../midi_out/midi_port.h"
#include "run_state.h"
#include "stream_reading.h"

namespace hexmidi {

namespace {

// A field that fails to read sends nothing: the value slot would hold either nothing defined (no
// field read yet) or the previous command's value, and replaying a stale message is worse than
// dropping a mistyped one. The character that stopped the field is read next as a command.
// Neither is a field cut short by a stop sent: "7F3" of "7F3C90" is a different message.
void carry_out_short_message(std::FILE* in, RunState& run) {
  if (!read_hex_field(in, run.value) || run.stop.asked()) return;
  send_short_message(run.port, run.value);
}

}  // namespace

int run_command_loop(std::FILE* in, StopRequest& stop) {
  RunState run(stop);
  open_port(run.port);
  // A stop makes every read from then on find the end of the input, but what the stream's buffer
  // holds already would still be carried out: the request is looked at before each command.
  while (!stop.asked() && read_command_character(in, run.command)) {
    if (run.command == 'm') {
      carry_out_short_message(in, run);
    } else if (run.command == 'l') {
      carry_out_long_message(in, run);
    }
    // Every other character is a command of its own that does nothing.
  }
  stop.mark_reading_over();
  if (!run.port_reset) reset_port(run.port);
  close_port(run.port);
  return 0;
}

int run_command_loop(std::FILE* in) {
  StopRequest never_asked;
  return run_command_loop(in, never_asked);
}

}  // namespace hexmidi
