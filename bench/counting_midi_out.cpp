#include "counting_midi_out.h"

#include "midi_api.h"

namespace counting {

namespace {

std::uint64_t short_count = 0;
std::uint64_t long_count = 0;

// A handle that is nobody's memory: nothing here dereferences it.
HMIDIOUT const counting_handle = reinterpret_cast<HMIDIOUT>(std::uintptr_t{0x434F554E});

}  // namespace

std::uint64_t short_messages() {
  return short_count;
}
std::uint64_t long_messages() {
  return long_count;
}
void reset() {
  short_count = 0;
  long_count = 0;
}

}  // namespace counting

extern "C" {

MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT, DWORD_PTR, DWORD_PTR, DWORD) {
  if (phmo != nullptr) *phmo = counting::counting_handle;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutShortMsg(HMIDIOUT, DWORD) {
  ++counting::short_count;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutPrepareHeader(HMIDIOUT, LPMIDIHDR, UINT) {
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutLongMsg(HMIDIOUT, LPMIDIHDR, UINT) {
  ++counting::long_count;
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutUnprepareHeader(HMIDIOUT, LPMIDIHDR, UINT) {
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutReset(HMIDIOUT) {
  return MMSYSERR_NOERROR;
}

MMRESULT midiOutClose(HMIDIOUT) {
  return MMSYSERR_NOERROR;
}

}  // extern "C"
