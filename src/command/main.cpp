// hexmidi: plays MIDI messages written as text on standard input. No arguments, no output.
#include <cstdio>

#include "command_loop.h"

int main(int /*argc*/, char** /*argv*/) {
  return hexmidi::run_command_loop(stdin);
}
