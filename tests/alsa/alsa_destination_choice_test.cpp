#include "alsa_destination_choice.h"

#include <gtest/gtest.h>

namespace winmm_standin {
namespace {

constexpr int own_client = 129;

SequencerPort kernel_port(int client, int port, std::string name, bool takes_writes = true) {
  return {client, port, std::move(name), true, takes_writes, true, false, ""};
}
SequencerPort user_port(int client, int port, std::string name, bool takes_writes = true) {
  return {client, port, std::move(name), false, takes_writes, false, false, ""};
}

std::pair<int, int> address_of(const std::optional<SequencerPort>& port) {
  if (!port) return {-1, -1};
  return {port->client, port->port};
}

const SequencerPort system_timer = kernel_port(0, 0, "System");
const SequencerPort midi_through = kernel_port(14, 0, "Midi Through");

TEST(AlsaDeviceZero, IsTheFirstDestinationAfterMidiThroughInClientThenPortOrder) {
  // A typical desktop: Midi Through, a virtual raw MIDI device, a software synthesizer.
  std::vector<SequencerPort> ports{
      system_timer, midi_through, kernel_port(20, 0, "Virtual Raw MIDI 0-0"),
      kernel_port(20, 1, "Virtual Raw MIDI 0-0"), user_port(128, 0, "FLUID Synth")};
  EXPECT_EQ(address_of(choose_device_zero(ports, own_client)), std::make_pair(20, 0));

  ports.erase(ports.begin() + 2, ports.begin() + 4);
  EXPECT_EQ(address_of(choose_device_zero(ports, own_client)), std::make_pair(128, 0));
}

TEST(AlsaDeviceZero, IsMidiThroughWhenNothingElseTakesWrites) {
  std::vector<SequencerPort> ports{system_timer, midi_through, kernel_port(14, 1, "Midi Through"),
                                   kernel_port(24, 0, "USB Keyboard", false),
                                   user_port(own_client, 0, "hexmidi")};
  EXPECT_EQ(address_of(choose_device_zero(ports, own_client)), std::make_pair(14, 0));
}

TEST(AlsaDeviceZero, SkipsPortsThatTakeNoWritesTheSystemClientAndOurOwn) {
  std::vector<SequencerPort> ports{system_timer, kernel_port(24, 0, "USB Keyboard", false),
                                   user_port(own_client, 0, "hexmidi"),
                                   user_port(130, 0, "aseqdump")};
  EXPECT_EQ(address_of(choose_device_zero(ports, own_client)), std::make_pair(130, 0));

  ports.pop_back();
  EXPECT_FALSE(choose_device_zero(ports, own_client));
  EXPECT_FALSE(choose_device_zero({}, own_client));
}

TEST(AlsaDeviceZero, LeavesOutPipeWiresOwnClientsAndPortsNotToBeExported) {
  // As if PipeWire's clients took subscriptions, which they do not today.
  SequencerPort not_exported = user_port(131, 0, "a2jmidid");
  not_exported.is_no_export = true;
  const std::vector<SequencerPort> others{user_port(128, 0, "PipeWire-System"),
                                          user_port(129, 0, "PipeWire-RT-Event"), not_exported};
  // (what else is there, device 0)
  const std::vector<std::pair<std::vector<SequencerPort>, std::pair<int, int>>> cases{
      {{user_port(132, 0, "aseqdump")}, {132, 0}},
      {{midi_through}, {14, 0}},
      {{}, {-1, -1}},
  };
  for (const auto& [rest, expected] : cases) {
    std::vector<SequencerPort> ports{system_timer};
    ports.insert(ports.end(), others.begin(), others.end());
    ports.insert(ports.end(), rest.begin(), rest.end());
    EXPECT_EQ(address_of(choose_device_zero(ports, 130)), expected) << rest.size();
  }
}

// aseqnet's port, paced as a cable: known by the names aseqnet gives its client and port.
TEST(Aseqnet, IsKnownByItsClientAndPortNames) {
  SequencerPort port = user_port(128, 0, "Net Client");
  port.port_name = "Network";
  EXPECT_TRUE(is_aseqnet(port));
  port.client_name = "FLUID Synth (4242)";
  EXPECT_FALSE(is_aseqnet(port));
  port.client_name = "Net Server";
  port.is_kernel_client = true;
  EXPECT_FALSE(is_aseqnet(port));
}

}  // namespace
}  // namespace winmm_standin
