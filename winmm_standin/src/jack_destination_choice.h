// Which JACK port is device 0. Kept apart from libjack so that the rule can be tried on the port
// lists that real setups show, without a server.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace winmm_standin {

// A MIDI input port of another client, as the server describes it.
struct JackInputPort {
  std::string name;                  // the full name, "client:port"
  std::vector<std::string> aliases;  // none, one or two, as jack_port_get_aliases gives them
  bool is_physical = false;          // JackPortIsPhysical
};

// A port that only passes events on: the kernel's Midi Through, however a bridge from the ALSA
// sequencer names it. True when the full name or an alias holds "midi" and "through" in any case,
// with one space, '_' or '-' or nothing between them.
bool is_pass_through(const JackInputPort& port);

// Device 0 among the given ports, which are in the server's order: the first physical port that
// is not a pass-through, else the first other port that is not one, else the first pass-through.
std::optional<JackInputPort> choose_jack_device_zero(const std::vector<JackInputPort>& ports);

// Whether what reaches the port goes over netjack2, jackd's network link to another machine: a
// MIDI port of the net driver on a slave ("system:midi_playback_N", and no alias), or of
// netmanager's client for a slave on a master ("<slave>:midi_to_slave_N").
bool goes_over_netjack2(const JackInputPort& port);

// Under PipeWire's libjack: whether what reaches the port goes over the network from a node of
// PipeWire's own, as module-rtp-sink's RTP-MIDI ("<host>:send_N"). Asked only under PipeWire.
bool goes_over_pipewire_network_node(const JackInputPort& port);

}  // namespace winmm_standin
