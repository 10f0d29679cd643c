// Drives the stand-in's API over its real backend, for what the program itself never does: a
// reset while a long message is still queued.
//
//   long_message_reset_client <milliseconds> [bytes]
//
// Opens device 0, sends a note-on (90 3C 7F), then a General MIDI System On (F0 7E 7F 09 01 F7)
// through a header it waits to be let go of, as the program does; queues a system-exclusive
// message of the given length, 1 MiB by default (F0 7D, data bytes i & 7F, F7), waits the given
// time, resets, then closes. Exit status 0 when every call answered as the Windows API does and
// the queued header was marked done by the reset; 1 otherwise, 2 when there is no device 0.
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "winmm_standin.h"

namespace {

bool send_and_let_go(HMIDIOUT port, std::vector<char>& message) {
  MIDIHDR header{};
  header.lpData = message.data();
  header.dwBufferLength = static_cast<DWORD>(message.size());
  if (midiOutPrepareHeader(port, &header, sizeof header) != MMSYSERR_NOERROR) return false;
  if (midiOutLongMsg(port, &header, sizeof header) != MMSYSERR_NOERROR) return false;
  MMRESULT result = MIDIERR_STILLPLAYING;
  while (result == MIDIERR_STILLPLAYING)
    result = midiOutUnprepareHeader(port, &header, sizeof header);
  return result == MMSYSERR_NOERROR;
}

}  // namespace

int main(int argc, char** argv) {
  const int wait_ms = argc > 1 ? std::atoi(argv[1]) : 0;
  const std::size_t length = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : std::size_t{1} << 20;
  HMIDIOUT port = nullptr;
  if (midiOutOpen(&port, 0, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return 2;

  std::vector<char> system_on{'\xF0', '\x7E', '\x7F', '\x09', '\x01', '\xF7'};
  std::vector<char> message(length);
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i & 0x7F);
  message.front() = static_cast<char>(0xF0);
  message[1] = 0x7D;
  message.back() = static_cast<char>(0xF7);

  MIDIHDR header{};
  header.lpData = message.data();
  header.dwBufferLength = static_cast<DWORD>(message.size());
  bool as_windows = midiOutShortMsg(port, 0x7F3C90) == MMSYSERR_NOERROR &&
                    send_and_let_go(port, system_on) &&
                    midiOutPrepareHeader(port, &header, sizeof header) == MMSYSERR_NOERROR &&
                    midiOutLongMsg(port, &header, sizeof header) == MMSYSERR_NOERROR &&
                    (header.dwFlags & MHDR_INQUEUE) != 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
  as_windows = midiOutReset(port) == MMSYSERR_NOERROR && as_windows;
  as_windows = as_windows && (header.dwFlags & MHDR_DONE) != 0 &&
               (header.dwFlags & MHDR_INQUEUE) == 0 &&
               midiOutUnprepareHeader(port, &header, sizeof header) == MMSYSERR_NOERROR;
  as_windows = midiOutClose(port) == MMSYSERR_NOERROR && as_windows;
  return as_windows ? 0 : 1;
}
