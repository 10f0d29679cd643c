// What the command loop keeps for the whole run. It lives in the loop's scope; nothing of it is
// allocated.
#pragma once

#include <cstdint>

#include "../midi_out/midi_api.h"

namespace hexmidi {

struct RunState {
  HMIDIOUT port = nullptr;
  unsigned char command = 0;
  std::uint32_t value = 0;  // the "m" field, and in turn each byte field of an "l"
  std::int32_t count = 0;   // the count of the latest "l"; negative counts are possible
  MIDIHDR header{};         // the one header every long message passes through
};

}  // namespace hexmidi
