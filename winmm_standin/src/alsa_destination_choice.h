// Which ALSA sequencer port is device 0. Kept apart from libasound so that the rule can be tried
// on made-up port lists.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace winmm_standin {

struct SequencerPort {
  int client = 0;
  int port = 0;
  std::string client_name;
  bool is_kernel_client = false;
  bool takes_writes = false;  // both WRITE and SUBS_WRITE: others may send to it and connect to it
  bool is_device_port = false;  // SND_SEQ_PORT_TYPE_PORT: a raw MIDI device's port, or one like it
  bool is_no_export = false;    // SND_SEQ_PORT_CAP_NO_EXPORT: its owner keeps it out of routing
  std::string port_name;
};

// The client the kernel's snd-seq-dummy module creates: it passes everything on to whoever
// reads from it, and is there on nearly every system, with or without a synthesizer.
bool is_midi_through(const SequencerPort& port);

// aseqnet's port, the sequencer's own link to another machine: a port "Network" of a client
// aseqnet names "Net Client" (or "Net Server").
bool is_aseqnet(const SequencerPort& port);

// The first port, in the order given (client then port), that takes writes, leaving out the
// system client, our own, PipeWire's and ports marked not to be exported. Midi Through counts
// only when nothing else does.
std::optional<SequencerPort> choose_device_zero(const std::vector<SequencerPort>& ports,
                                                int own_client);

}  // namespace winmm_standin
