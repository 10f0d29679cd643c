// Windows makes device 0 the first real output, typically the synthesizer or the interface that
// is plugged in; a client that only passes events on to nobody would swallow every note. So
// Midi Through, which the kernel creates whether or not anything listens to it, is passed over
// while anything else takes writes, and used when it is all there is (someone may be reading
// from it, and playing to it is better than refusing to open).
#include "alsa_destination_choice.h"

namespace winmm_standin {

namespace {
// SND_SEQ_CLIENT_SYSTEM: the kernel's announcements and timer, never a destination.
constexpr int system_client = 0;

// The clients through which PipeWire's bridge reads from and writes to the sequencer. Played to,
// they would hand our notes to PipeWire's graph rather than to a synthesizer, and the bridge
// would then offer them back to the sequencer's clients. Today their ports do not take
// subscriptions from others, so this only keeps it that way should that change.
bool is_pipewire_own(const SequencerPort& port) {
  return !port.is_kernel_client &&
         (port.client_name == "PipeWire-System" || port.client_name == "PipeWire-RT-Event");
}
}  // namespace

bool is_midi_through(const SequencerPort& port) {
  return port.is_kernel_client && port.client_name == "Midi Through";
}

// aseqnet (alsa-utils 1.2.8 to 1.2.14) names every one of its clients "Net Client" unless told
// otherwise with -n, as it names the client before it knows it is the server; the name it meant
// for a server, "Net Server", is taken too. Its one port is "Network".
bool is_aseqnet(const SequencerPort& port) {
  return !port.is_kernel_client && port.port_name == "Network" &&
         (port.client_name == "Net Client" || port.client_name == "Net Server");
}

std::optional<SequencerPort> choose_device_zero(const std::vector<SequencerPort>& ports,
                                                int own_client) {
  std::optional<SequencerPort> first_through;
  for (const SequencerPort& port : ports) {
    if (port.client == system_client || port.client == own_client) continue;
    if (!port.takes_writes || port.is_no_export || is_pipewire_own(port)) continue;
    if (!is_midi_through(port)) return port;
    if (!first_through) first_through = port;
  }
  return first_through;
}

}  // namespace winmm_standin
