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

}  // namespace winmm_standin
