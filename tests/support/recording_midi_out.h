// A stand-in for the MIDI output API that plays nothing: it records every call with its arguments
// (for a header: its fields and its bytes, as they were at the call) and answers what a test has
// scripted, MMSYSERR_NOERROR otherwise.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "midi_api.h"

namespace recording {

enum class Function { open, short_message, prepare, long_message, unprepare, reset, close };

struct Call {
  Function function{};
  std::uintptr_t handle = 0;  // for open: the handle it gave back
  // open
  UINT device = 0;
  DWORD_PTR callback = 0;
  DWORD_PTR instance = 0;
  DWORD open_flags = 0;
  // short message
  DWORD message = 0;
  // header calls
  const MIDIHDR* header = nullptr;
  UINT header_size = 0;
  MIDIHDR fields{};                 // a copy of the header as it was passed in
  std::vector<std::uint8_t> bytes;  // lpData[0..dwBufferLength), where lpData is set
  MMRESULT result = MMSYSERR_NOERROR;
};

// Forgets all calls and scripts.
void reset();
const std::vector<Call>& calls();

// The results the next calls of `function` answer, in order; once used up, MMSYSERR_NOERROR. A
// refused open stores a null handle, as Windows does; an accepted one a handle of its own.
void script(Function function, std::vector<MMRESULT> results);

// Called with every call as it is recorded, for tests that look at what had happened by then.
void on_call(std::function<void(const Call&)> observer);

// Counting only: keep no record of calls (for streams of millions of messages).
void set_counting_only(bool counting_only);
std::uint64_t count_of(Function function);

}  // namespace recording
