// A stand-in for the MIDI output API that plays nothing and keeps nothing but counts, so that a
// benchmark of the program's own code measures that code and not a recorder's bookkeeping. Every
// call succeeds; an unprepare answers at once that the port has let go.
#pragma once

#include <cstdint>

namespace counting {

std::uint64_t short_messages();
std::uint64_t long_messages();
void reset();

}  // namespace counting
