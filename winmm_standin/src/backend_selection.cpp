// Device 0 is the first destination of the first service that has one: a running JACK server
// with a MIDI input port wins, because whoever started it has chosen their MIDI graph; the ALSA
// sequencer, present on nearly every Linux system, comes next.
#include "backend.h"

namespace winmm_standin {

std::unique_ptr<MidiBackend> open_first_output_backend() {
#if HEXMIDI_WITH_JACK
  if (auto backend = open_jack_backend()) return backend;
#endif
#if HEXMIDI_WITH_ALSA
  if (auto backend = open_alsa_backend()) return backend;
#endif
  return nullptr;
}

}  // namespace winmm_standin
