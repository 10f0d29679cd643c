// What a period of a JACK MIDI port carries under PipeWire, by version, in the figures PipeWire's
// own code gives: a sequence of 32,768 bytes, 16 for its header, 16 for each control plus its
// bytes padded to 8; from 1.3.81 to 1.6.2 a 24-byte control for each MIDI 2.0 packet, a packet
// for each short message and for each 6 bytes of a system-exclusive message.
#include "period_budget.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using winmm_standin::EventKind;
using winmm_standin::midi_carriage;
using winmm_standin::MidiCarriage;
using winmm_standin::PeriodBudget;

constexpr std::size_t buffer = 32768;

TEST(PipeWirePeriodBudget, TheVersionSaysHowEventsAreCarried) {
  EXPECT_EQ(midi_carriage("1.9.21"), MidiCarriage::jack);
  EXPECT_EQ(midi_carriage("3.0.0.0 (using PipeWire 0.3.65)"), MidiCarriage::raw);
  EXPECT_EQ(midi_carriage("3.1.3.80 (using PipeWire 1.3.80)"), MidiCarriage::raw);
  EXPECT_EQ(midi_carriage("3.1.3.81 (using PipeWire 1.3.81)"), MidiCarriage::ump);
  EXPECT_EQ(midi_carriage("3.1.4.2 (using PipeWire 1.4.2)"), MidiCarriage::ump);
  EXPECT_EQ(midi_carriage("3.1.6.2 (using PipeWire 1.6.2)"), MidiCarriage::ump);
  EXPECT_EQ(midi_carriage("3.1.6.3 (using PipeWire 1.6.3)"), MidiCarriage::raw);
  EXPECT_EQ(midi_carriage("3.2.0.0 (using PipeWire two)"), MidiCarriage::unknown);
}

// How many events of a kind and length one period takes, filling it from empty.
std::size_t per_period(MidiCarriage carriage, std::size_t length, EventKind kind,
                       std::size_t frames = 256) {
  PeriodBudget budget(carriage, buffer, frames);
  budget.start_period();
  std::size_t taken = 0;
  while (taken < 100'000 && budget.take(length, kind)) ++taken;
  return taken;
}

TEST(PipeWirePeriodBudget, APeriodHoldsWhatPipeWiresSequenceHolds) {
  for (auto carriage : {MidiCarriage::raw, MidiCarriage::ump, MidiCarriage::unknown}) {
    EXPECT_EQ(per_period(carriage, 3, EventKind::message), 1364u);
  }
  EXPECT_EQ(per_period(MidiCarriage::jack, 3, EventKind::message), 100'000u);
  PeriodBudget raw(MidiCarriage::raw, buffer), ump(MidiCarriage::ump, buffer);
  EXPECT_TRUE(raw.fits_a_period(32736, EventKind::system_exclusive));
  EXPECT_FALSE(raw.fits_a_period(32737, EventKind::system_exclusive));
  EXPECT_TRUE(ump.fits_a_period(8184, EventKind::system_exclusive));
  EXPECT_FALSE(ump.fits_a_period(8185, EventKind::system_exclusive));
  raw.start_period();
  ump.start_period();
  EXPECT_EQ(raw.longest_piece(EventKind::system_exclusive), 32736u);
  EXPECT_EQ(ump.longest_piece(EventKind::system_exclusive), 8184u);
  // A smaller quantum limit gives a smaller shared buffer, which the sequence is copied into.
  PeriodBudget small(MidiCarriage::raw, 4096);
  EXPECT_FALSE(small.fits_a_period(4096 - 16 - 16 + 1, EventKind::system_exclusive));
}

TEST(PipeWirePeriodBudget, OnlyASysExGoesInPiecesWherePipeWireConvertsToUmp) {
  PeriodBudget ump(MidiCarriage::ump, buffer), raw(MidiCarriage::raw, buffer);
  EXPECT_TRUE(ump.continuation_needs_f7());
  EXPECT_FALSE(raw.continuation_needs_f7());
  EXPECT_TRUE(ump.can_send(1 << 20, EventKind::system_exclusive));
  EXPECT_FALSE(ump.can_send(20'000, EventKind::other));
  EXPECT_TRUE(ump.can_send(300, EventKind::other));
  EXPECT_TRUE(raw.can_send(1 << 20, EventKind::other));
  // Up to 1.4.2, an event of exactly the port's largest overwrites its own header.
  EXPECT_EQ(raw.usable_room(32736), 32735u);
  EXPECT_EQ(PeriodBudget().usable_room(32720), 32720u);
}

TEST(Netjack2PeriodBudget, APeriodHoldsInlineEventsOfFourBytesWithinTheNetworkBuffer) {
  EXPECT_EQ(per_period(MidiCarriage::net, 3, EventKind::message), 82u);  // (1024 - 36) / 12
  EXPECT_EQ(per_period(MidiCarriage::net, 3, EventKind::message, 128), 39u);
  EXPECT_EQ(per_period(MidiCarriage::net, 3, EventKind::message, 8), 1u);  // never none
  PeriodBudget net(MidiCarriage::net, buffer, 256);
  EXPECT_FALSE(net.under_pipewire());
  EXPECT_TRUE(net.fits_a_period(4, EventKind::system_exclusive));
  EXPECT_FALSE(net.fits_a_period(5, EventKind::system_exclusive));
  net.start_period();
  EXPECT_EQ(net.longest_piece(EventKind::system_exclusive), 4u);
}

// PipeWire's RTP-MIDI: a packet of 309 short messages (net.mtu 1,280), then nothing until 56.85 ms
// have passed (the far end's float's step, as RTP timestamps and as seconds); nothing else goes.
TEST(RtpMidiPeriodBudget, APacketOfChannelMessagesAndThenAQuietTime) {
  PeriodBudget rtp(MidiCarriage::rtp, buffer, 256, 48000);
  std::vector<std::size_t> taken;
  for (int period = 0; period < 14; ++period) {
    rtp.start_period(256);
    std::size_t n = 0;
    while (n < 1000 && rtp.take(3, EventKind::message)) ++n;
    taken.push_back(n);
  }
  EXPECT_EQ(taken, (std::vector<std::size_t>{309, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 309, 0}));
  EXPECT_TRUE(rtp.under_pipewire());
  EXPECT_TRUE(rtp.can_send(3, EventKind::message));
  for (auto kind : {EventKind::system_message, EventKind::system_exclusive, EventKind::other}) {
    EXPECT_FALSE(rtp.can_send(3, kind));
  }
  // A quantum limit of 2,048 gives the mixers 2,048 bytes: 84 controls.
  PeriodBudget small(MidiCarriage::rtp, 8192, 256, 48000);
  small.start_period(256);
  std::size_t n = 0;
  while (n < 1000 && small.take(3, EventKind::message)) ++n;
  EXPECT_EQ(n, 84u);
}

}  // namespace
