// Windows makes device 0 the first real output, typically the synthesizer or the interface that
// is plugged in. On a JACK graph the first MIDI input port the server lists is, on most desktops,
// the kernel's Midi Through as a bridge from the ALSA sequencer exports it (PipeWire's
// "Midi-Bridge", a2jmidid, JACK2's own sequencer driver), and it goes nowhere. Both bridges mark
// it physical, like the devices they export, so preferring physical ports alone does not help:
// it has to be known by its name. Only JACK2's sequencer driver hides the name, in an alias.
//
// A pass-through is still chosen when it is all there is: someone may be listening to it, and
// playing there beats refusing to open. Physical ports come before the others because a device
// is what a user plugged in to hear; a software client (a synthesizer, a recorder, a router) is
// still a better guess than a pass-through.
#include "jack_destination_choice.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace winmm_standin {

namespace {

bool same_letters(std::string_view text, std::string_view lower_case_word) {
  return std::equal(
      text.begin(), text.end(), lower_case_word.begin(), lower_case_word.end(),
      [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// "midi" and "through" in any case, with nothing or one of ' ', '_', '-' between them, anywhere
// in the text. Bridges write it "Midi Through", JACK2's older aliases "Midi-Through".
bool names_midi_through(std::string_view text) {
  constexpr std::string_view first = "midi";
  constexpr std::string_view second = "through";
  for (std::size_t at = 0; at + first.size() <= text.size(); ++at) {
    if (!same_letters(text.substr(at, first.size()), first)) continue;
    std::string_view rest = text.substr(at + first.size());
    if (!rest.empty() && (rest[0] == ' ' || rest[0] == '_' || rest[0] == '-')) {
      if (same_letters(rest.substr(1, second.size()), second)) return true;
    }
    if (same_letters(rest.substr(0, second.size()), second)) return true;
  }
  return false;
}

// "<prefix><digits>", and nothing else.
bool is_numbered(std::string_view text, std::string_view prefix) {
  if (text.size() <= prefix.size() || text.substr(0, prefix.size()) != prefix) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(prefix.size()), text.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// Lower is better.
int rank_of(const JackInputPort& port) {
  if (is_pass_through(port)) return 2;
  return port.is_physical ? 0 : 1;
}

}  // namespace

bool is_pass_through(const JackInputPort& port) {
  return names_midi_through(port.name) ||
         std::any_of(port.aliases.begin(), port.aliases.end(),
                     [](const std::string& alias) { return names_midi_through(alias); });
}

std::optional<JackInputPort> choose_jack_device_zero(const std::vector<JackInputPort>& ports) {
  // min_element keeps the first of equals: the server's order within a rank.
  auto best = std::min_element(
      ports.begin(), ports.end(),
      [](const JackInputPort& a, const JackInputPort& b) { return rank_of(a) < rank_of(b); });
  if (best == ports.end()) return std::nullopt;
  return *best;
}

// netjack2 has to be known for what it loses (see period_budget.h), and libjack says
// nothing of drivers: only the names tell. In JACK2 (1.9.21, 1.9.22 and master) the drivers
// register their ports under the server's own client, "system". The ALSA MIDI drivers (-X seq,
// -X raw, alsarawmidi) set an alias on each port, naming the device; FFADO names its MIDI ports
// "firewire_pcm:..." and netone "playback_N". The net driver alone names them "midi_playback_N"
// and sets no alias (it makes one for its MIDI ports and never sets it). On a master, netmanager
// gives each slave a client named after it, whose "midi_to_slave_N" ports feed the same
// NetMidiBuffer. PipeWire's libjack is told by its version string before this is asked.
// Rejected: giving every port of "system" netjack2's carriage. A hardware port would not miss
// the rate (a cable takes 3 bytes a millisecond, the carriage 60), but JACK2's sequencer driver
// would lose the pieces: it encodes each event alone, after a reset of its encoder, so a SysEx in
// pieces of 4 bytes would never reach the sequencer's clients. Rejected too: reading the server's
// command line for "-d net", which a server started over D-Bus, or in another PID namespace, does
// not show.
bool goes_over_netjack2(const JackInputPort& port) {
  const std::string_view name = port.name;
  const std::size_t colon = name.find(':');
  if (colon == std::string_view::npos) return false;
  const std::string_view client = name.substr(0, colon);
  const std::string_view short_name = name.substr(colon + 1);
  if (client == "system") return port.aliases.empty() && is_numbered(short_name, "midi_playback_");
  return is_numbered(short_name, "midi_to_slave_");
}

// PipeWire names the ports of a node that says it goes over the network (node.network, which
// module-rtp-sink and -session set on their streams) "send_N" for its inputs, whatever the node's
// name, in src/pipewire/impl-port.c (1.4.2 and 1.6.8 alike), unless the node names them itself:
// the JACK client's name is the node's description (the host's name for the RTP sink), which tells
// nothing. PipeWire's libjack shows no node property, nor, by default (jack.fill-aliases), an alias
// that holds one, so the short name is what there is. Other nodes of PipeWire's that are named so
// and carry MIDI (module-vban-send with sess.media = midi, module-netjack2-driver and -manager) are
// server nodes with the same mixer in front of them: the RTP carriage costs them its rate and
// quiet time and the system messages and SysEx that it refuses, and keeps every channel message.
// A JACK client that names its own input "send_1" pays that too; under jackd this is never asked.
// Rejected: the JACK client's name, which is the host's by default and the user's choice
// (sess.name, node.description) otherwise.
bool goes_over_pipewire_network_node(const JackInputPort& port) {
  const std::string_view name = port.name;
  const std::size_t colon = name.rfind(':');
  return colon != std::string_view::npos && is_numbered(name.substr(colon + 1), "send_");
}

}  // namespace winmm_standin
