#include "wire_pacing.h"

#include <gtest/gtest.h>

namespace winmm_standin {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t buffer = 4096;
// A MIDI cable carries 31250 bits a second, ten bits a byte (start, eight data bits, stop).
constexpr auto byte_on_the_wire = 320us;

const WirePacer::Clock::time_point start{};

TEST(WirePacer, TakesAWholeBufferAtOnceThenOneByteAPerWireByteTime) {
  WirePacer pacer(buffer);
  EXPECT_EQ(pacer.wait_for(buffer, start), WirePacer::Clock::duration::zero());
  pacer.note_sent(buffer, start);
  EXPECT_EQ(pacer.room(start), 0u);
  EXPECT_EQ(pacer.wait_for(1, start), byte_on_the_wire);
  EXPECT_EQ(pacer.wait_for(100, start), 100 * byte_on_the_wire);

  EXPECT_EQ(pacer.room(start + 100 * byte_on_the_wire - 1us), 99u);
  EXPECT_EQ(pacer.room(start + 100 * byte_on_the_wire), 100u);
  EXPECT_EQ(pacer.room(start + buffer * byte_on_the_wire + 1s), buffer);
}

TEST(WirePacer, FrequentLooksLoseNoDrainTime) {
  WirePacer pacer(buffer);
  pacer.note_sent(buffer, start);
  // Looking every 100 µs, a third of a byte each time, must still see a byte go every 320 µs.
  for (auto t = start; t < start + 32ms; t += 100us) pacer.room(t);
  EXPECT_EQ(pacer.room(start + 32ms), 100u);
}

TEST(WirePacer, AMessageLargerThanTheBufferWaitsForAnEmptyOne) {
  WirePacer pacer(buffer);
  pacer.note_sent(10, start);
  EXPECT_EQ(pacer.wait_for(2 * buffer, start), 10 * byte_on_the_wire);
}

TEST(WirePacer, BytesSentWhileDrainingAddToWhatIsLeft) {
  WirePacer pacer(buffer);
  pacer.note_sent(1000, start);
  pacer.note_sent(1000, start + 500 * byte_on_the_wire);
  EXPECT_EQ(pacer.room(start + 500 * byte_on_the_wire), buffer - 1500);
  EXPECT_EQ(pacer.wait_for(buffer, start + 500 * byte_on_the_wire), 1500 * byte_on_the_wire);
}

}  // namespace
}  // namespace winmm_standin
