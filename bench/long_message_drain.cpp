// long_message_drain: what draining one long message through the stand-in costs, measured inside
// the process, so that neither the parsing of its text nor start-up is in it. Opens port 0 (the
// JACK server the environment names), sends one system-exclusive message of <bytes> bytes through
// a header as hexmidi does, and closes the port, which returns once the message has left.
//
//   long_message_drain <bytes>      prints {"wall_s": .., "cpu_s": ..}
//
// Both run from the hand-over to the close's return; the CPU is the whole process's, libjack's
// process thread included. A run of a few bytes gives what the close costs by itself.
#include <ctime>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "winmm_standin.h"

int main(int argc, char** argv) {
  const std::size_t bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
  HMIDIOUT port = nullptr;
  if (bytes < 2 || midiOutOpen(&port, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return 2;
  std::vector<char> message(bytes, 0x01);
  message.front() = static_cast<char>(0xF0);
  message.back() = static_cast<char>(0xF7);
  MIDIHDR header{};
  header.lpData = message.data();
  header.dwBufferLength = static_cast<DWORD>(bytes);

  const auto started = std::chrono::steady_clock::now();
  const std::clock_t cpu_at_start = std::clock();
  if (midiOutPrepareHeader(port, &header, sizeof header) != MMSYSERR_NOERROR) return 1;
  midiOutLongMsg(port, &header, sizeof header);
  while (midiOutUnprepareHeader(port, &header, sizeof header) == MIDIERR_STILLPLAYING) {
  }
  midiOutClose(port);
  const double cpu_s = static_cast<double>(std::clock() - cpu_at_start) / CLOCKS_PER_SEC;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - started;
  std::printf("{\"wall_s\": %.6f, \"cpu_s\": %.6f}\n", wall.count(), cpu_s);
  return 0;
}
