// Runs the command loop over a stream held in memory, against the recording stand-in.
#pragma once

#include <cstdio>
#include <string>

#include "command/command_loop.h"
#include "recording_midi_out.h"

namespace testing_support {

// With `stop`, the run can be stopped (by a test's observer of the calls) as a signal would.
inline int run_stream(const std::string& text, hexmidi::StopRequest* stop = nullptr) {
  // fmemopen of a zero-length buffer fails; an empty file is what an empty stream is.
  std::FILE* in =
      text.empty() ? std::tmpfile() : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  int status = stop ? hexmidi::run_command_loop(in, *stop) : hexmidi::run_command_loop(in);
  std::fclose(in);
  return status;
}

}  // namespace testing_support
