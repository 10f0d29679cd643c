// Device 0 on a JACK server, on the MIDI input ports (other clients' only, in the server's order)
// that the setups Linux desktops run show: PipeWire's bridge in each of its naming generations,
// a2jmidid, JACK2's sequencer driver with each of its alias styles, and plain JACK.
#include "jack_destination_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace winmm_standin {
namespace {

JackInputPort physical(std::string name, std::vector<std::string> aliases = {}) {
  return {std::move(name), std::move(aliases), true};
}
JackInputPort software(std::string name, std::vector<std::string> aliases = {}) {
  return {std::move(name), std::move(aliases), false};
}

std::string chosen(const std::vector<JackInputPort>& ports) {
  auto port = choose_jack_device_zero(ports);
  return port ? port->name : "(none)";
}

struct Listing {
  const char* setup;
  std::vector<JackInputPort> ports;
  std::string device_zero;
};

TEST(JackDeviceZero, IsTheSynthesizerOnEachSetup) {
  const std::vector<Listing> listings{
      {"PipeWire 0.3.60 to 1.2, a USB synthesizer on the bridge",
       {physical("Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0"),
        physical("Midi-Bridge:SC-8850:(playback_0) SC-8850 MIDI 1")},
       "Midi-Bridge:SC-8850:(playback_0) SC-8850 MIDI 1"},
      {"PipeWire 1.4 to 1.6.3",
       {physical("Midi-Bridge:Midi Through Port-0 (playback)"),
        physical("Midi-Bridge:SC-8850 MIDI 1 (playback)")},
       "Midi-Bridge:SC-8850 MIDI 1 (playback)"},
      {"PipeWire 1.6.4 on",
       {physical("Midi-Bridge:Midi Through: Port-0 (playback)"),
        physical("Midi-Bridge:SC-8850: MIDI 1 (playback)")},
       "Midi-Bridge:SC-8850: MIDI 1 (playback)"},
      {"PipeWire, FluidSynth as a JACK client and nothing on the bridge but Midi Through",
       {physical("Midi-Bridge:Midi Through Port-0 (playback)"), software("fluidsynth:midi_00")},
       "fluidsynth:midi_00"},
      {"a2jmidid, a USB synthesizer",
       {physical("a2j:Midi Through [14] (playback): Midi Through Port-0"),
        physical("a2j:SC-8850 [20] (playback): SC-8850 MIDI 1")},
       "a2j:SC-8850 [20] (playback): SC-8850 MIDI 1"},
      {"a2jmidid, FluidSynth as an ALSA client",
       {physical("a2j:Midi Through [14] (playback): Midi Through Port-0"),
        software("a2j:FLUID Synth (4242) [128] (playback): Synth input port (4242:0)")},
       "a2j:FLUID Synth (4242) [128] (playback): Synth input port (4242:0)"},
      // Here only the alias tells Midi Through from the device.
      {"JACK2 -X seq, aliases of recent versions",
       {physical("system:midi_playback_1", {"alsa_midi:Midi Through Port-0 (in)"}),
        physical("system:midi_playback_2", {"alsa_midi:SC-8850 MIDI 1 (in)"})},
       "system:midi_playback_2"},
      {"JACK2 1.9.22 -X seq",
       {physical("system:midi_playback_1", {"Midi-Through:midi/playback_1"}),
        physical("system:midi_playback_2", {"SC-8850:midi/playback_1"})},
       "system:midi_playback_2"},
      {"plain JACK, one synthesizer", {software("fluidsynth:midi_00")}, "fluidsynth:midi_00"},
      {"plain JACK, a raw MIDI device and a synthesizer",
       {software("fluidsynth:midi_00"), physical("system:midi_playback_1")},
       "system:midi_playback_1"},
      // Someone may be listening to a pass-through; playing there beats refusing to open.
      {"pass-throughs alone, first one listed",
       {physical("Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0"),
        physical("Midi-Bridge:Midi Through:(playback_1) Midi Through Port-1")},
       "Midi-Bridge:Midi Through:(playback_0) Midi Through Port-0"},
      {"pass-through known by its alias alone",
       {physical("system:midi_playback_1", {"alsa_midi:Midi Through Port-0 (in)"})},
       "system:midi_playback_1"},
      {"nothing", {}, "(none)"},
  };
  for (const Listing& listing : listings) {
    EXPECT_EQ(chosen(listing.ports), listing.device_zero) << listing.setup;
  }
}

TEST(JackDeviceZero, KeepsTheServersOrderWithinARank) {
  const std::vector<Listing> listings{
      {"two devices",
       {physical("a2j:Midi Through [14] (playback): Midi Through Port-0"),
        physical("a2j:SC-8850 [20] (playback): SC-8850 MIDI 1"),
        physical("a2j:MIDISPORT 2x2 [24] (playback): MIDISPORT 2x2 MIDI 1")},
       "a2j:SC-8850 [20] (playback): SC-8850 MIDI 1"},
      {"a device listed after software",
       {software("recorder:in"), software("fluidsynth:midi_00"),
        physical("system:midi_playback_2", {"alsa_midi:SC-8850 MIDI 1 (in)"})},
       "system:midi_playback_2"},
      {"software only", {software("recorder:in"), software("fluidsynth:midi_00")}, "recorder:in"},
      {"software listed after pass-throughs",
       {physical("Midi-Bridge:Midi Through Port-0 (playback)"), software("recorder:in"),
        software("fluidsynth:midi_00")},
       "recorder:in"},
  };
  for (const Listing& listing : listings) {
    EXPECT_EQ(chosen(listing.ports), listing.device_zero) << listing.setup;
  }
}

TEST(JackPassThrough, IsMidiThroughInAnyCaseWithOneSeparatorOrNoneInTheNameOrAnAlias) {
  const struct {
    JackInputPort port;
    bool is_pass_through;
  } cases[]{
      {software("Midi-Bridge:Midi Through Port-0 (playback)"), true},
      {software("x:MIDI THROUGH"), true},
      {software("x:midi_through"), true},
      {software("x:midi-through"), true},
      {software("x:MidiThrough"), true},
      {software("system:midi_playback_1", {"", "Midi-Through:midi/playback_1"}), true},
      {software("x:Midi  Through"), false},
      {software("x:Midi.Through"), false},
      {software("x:Midi Thru"), false},
      {software("x:Midi"), false},
      {software("x:Through"), false},
      {software("system:midi_playback_1", {"alsa_midi:SC-8850 MIDI 1 (in)"}), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_pass_through(c.port), c.is_pass_through) << c.port.name;
  }
}

// The net driver alone sets no alias on its "system:midi_playback_N" (JACK2 1.9.21 to master).
TEST(Netjack2Port, IsTheNetDriversOrNetmanagersAndNoOther) {
  const struct {
    JackInputPort port;
    bool over_netjack2;
  } cases[]{
      {physical("system:midi_playback_12"), true},
      {software("remote:midi_to_slave_1"), true},
      {physical("system:midi_playback_1", {"alsa_midi:SC-8850 MIDI 1 (in)"}), false},  // -X seq
      {physical("system:playback_1"), false},                                          // netone
      {software("remote:midi_to_slave_1x"), false},
      {software("remote:midi_playback_1"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(goes_over_netjack2(c.port), c.over_netjack2) << c.port.name;
  }
}

// PipeWire names a network node's inputs "send_N" (src/pipewire/impl-port.c), whatever the node.
TEST(PipeWireNetworkPort, IsANodesSendPortAndNoOther) {
  EXPECT_TRUE(goes_over_pipewire_network_node(software("studio:send_1")));
  EXPECT_TRUE(goes_over_pipewire_network_node(software("RTP: studio:send_12")));
  EXPECT_FALSE(goes_over_pipewire_network_node(software("studio:send_1x")));
  EXPECT_FALSE(goes_over_pipewire_network_node(software("studio:send_")));
  EXPECT_FALSE(goes_over_pipewire_network_node(software("send_1:playback_1")));
}

}  // namespace
}  // namespace winmm_standin
