// Where in a JACK cycle a record goes: one period after it was sent, so that the stream's own
// timing is kept to the frame; at once when that is past; and at once too when the frame clock
// stepped back and left the record stamped far ahead of it, rather than holding the stream.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "jack_record_ring.h"

namespace {

using winmm_standin::due_offset;

TEST(JackEventTiming, ARecordGoesOnePeriodAfterItWasSentOrAtOnce) {
  constexpr std::uint32_t period = 256;
  struct Case {
    const char* what;
    std::uint32_t sent_at, cycle_start;
    std::optional<std::uint32_t> offset;
  };
  const Case cases[] = {
      {"sent during this cycle: the next one", 10'000, 10'000, std::nullopt},
      {"sent late in this cycle", 10'255, 10'000, std::nullopt},
      {"sent during the last cycle: its frame one period on", 10'000 - 256 + 40, 10'000, 40},
      {"sent two cycles ago: at once", 10'000 - 600, 10'000, 0},
      {"across the frame clock's wrap", 0xFFFF'FF80, 0x80, 0},
      {"across the wrap, due next cycle", 0x40, 0xFFFF'FFC0, std::nullopt},
      {"two periods ahead: a step of the clock could do it, still waited for", 10'512, 10'000,
       std::nullopt},
      {"the clock stepped back by seconds: at once", 10'000 + 48'000, 10'000, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(due_offset(c.sent_at, c.cycle_start, period), c.offset) << c.what;
  }
}

}  // namespace
