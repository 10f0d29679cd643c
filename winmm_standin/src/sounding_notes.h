// Which notes a port has sounding, so that a reset can silence exactly those.
#pragma once

#include <bitset>
#include <cstdint>
#include <vector>

#include "short_message_unpacking.h"

namespace winmm_standin {

class SoundingNotes {
 public:
  void note_sent(const ShortMessage& message);

  // What a reset sends: a note-off for every sounding note, in channel then key order, then
  // sustain off on each of the 16 channels. Forgets the notes.
  std::vector<ShortMessage> take_reset_messages();

 private:
  std::bitset<16 * 128> sounding_;
};

}  // namespace winmm_standin
