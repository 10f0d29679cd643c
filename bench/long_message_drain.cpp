// long_message_drain: what draining one long message through the stand-in costs, measured inside
// the process, so that neither the parsing of its text nor start-up is in it. Opens port 0 (the
// JACK server the environment names), sends one system-exclusive message of <bytes> bytes
// through a header as hexmidi does, and closes the port, which returns once the message has left.
//
//   long_message_drain <bytes>      prints {"bytes": .., "wall_s": .., "cpu_s": ..}
//
// Both figures run from the hand-over to the close's return; the CPU is the whole process's, so
// libjack's process thread is in it. A run of a few bytes gives what the close costs by itself.
// Measuring hexmidi's whole runs instead, less runs that parse the same text with no port, was
// rejected: the drain's few milliseconds of CPU drowned in the parse's run-to-run spread.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "winmm_standin.h"

namespace {

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
  if (bytes < 2) return 1;
  std::vector<char> message(bytes, 0x01);
  message.front() = static_cast<char>(0xF0);
  message.back() = static_cast<char>(0xF7);
  HMIDIOUT port = nullptr;
  if (midiOutOpen(&port, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return 2;
  MIDIHDR header{};
  header.lpData = message.data();
  header.dwBufferLength = static_cast<DWORD>(bytes);

  const auto started = std::chrono::steady_clock::now();
  const double cpu_at_start = cpu_seconds();
  if (midiOutPrepareHeader(port, &header, sizeof header) != MMSYSERR_NOERROR) return 1;
  midiOutLongMsg(port, &header, sizeof header);
  while (midiOutUnprepareHeader(port, &header, sizeof header) == MIDIERR_STILLPLAYING) {
  }
  midiOutClose(port);
  const double cpu_s = cpu_seconds() - cpu_at_start;
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("{\"bytes\": %zu, \"wall_s\": %.6f, \"cpu_s\": %.6f}\n", bytes, wall_s, cpu_s);
  return 0;
}
