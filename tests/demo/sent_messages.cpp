// The program's command loop over standard input, against the recording stand-in of the MIDI
// output API. Prints each message the loop sent, one per line, as its bytes in hex: "m 90 3C 7F 00"
// for a short message (the packed value's four bytes, first byte lowest), "l F0 7E ... F7" for a
// long one. A test of what a stream plays reads this rather than reading the stream a second way.
#include <cstdio>

#include "command/command_loop.h"
#include "recording_midi_out.h"

int main() {
  int status = hexmidi::run_command_loop(stdin);
  for (const recording::Call& call : recording::calls()) {
    if (call.function == recording::Function::short_message) {
      std::printf("m");
      for (int shift = 0; shift < 32; shift += 8) {
        std::printf(" %02X", static_cast<unsigned>((call.message >> shift) & 0xFF));
      }
      std::printf("\n");
    } else if (call.function == recording::Function::long_message) {
      std::printf("l");
      for (std::uint8_t byte : call.bytes) std::printf(" %02X", static_cast<unsigned>(byte));
      std::printf("\n");
    }
  }
  return status;
}
