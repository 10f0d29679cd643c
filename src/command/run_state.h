// What the command loop keeps for the whole run. It lives in the loop's scope; nothing of it is
// allocated.
#pragma once

#include <cstdint>

#include "../midi_out/midi_api.h"
#include "stop_request.h"

namespace hexmidi {

struct RunState {
  explicit RunState(StopRequest& stop_request) : stop(stop_request) {}

  HMIDIOUT port = nullptr;
  unsigned char command = 0;
  std::uint32_t value = 0;  // the "m" field, and in turn each byte field of an "l"
  std::int32_t count = 0;   // the count of the latest "l"; negative counts are possible
  MIDIHDR header{};         // the one header every long message passes through
  StopRequest& stop;        // a signal or console event asking the run to end now
  bool port_reset = false;  // already reset, to let go of a long message at a stop
};

}  // namespace hexmidi
