// The command streams the benchmarks feed the program, made the same way everywhere: note-on and
// note-off pairs, so that every note a stream starts it also ends.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// `lines` lines of "m VVKKSS", alternately a note-on (velocity 7F) and the note-off of the same
// key, the keys rising through all 128.
std::string short_message_lines(std::size_t lines);

}  // namespace bench

namespace bench {

// One "l" command of `bytes` bytes: F0, then data bytes counting up through 00..7F, then F7 (a
// system-exclusive message of `bytes` bytes, for `bytes` of 2 or more), then a line end.
std::string long_message_text(std::size_t bytes);

}  // namespace bench
