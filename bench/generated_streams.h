// The command stream the benchmarks feed the program, made the same way everywhere (the Python
// side writes the same lines): note-on and note-off pairs, so that every note it starts it ends.
#pragma once

#include <cstdio>
#include <string>

namespace bench {

constexpr std::size_t line_length = 9;  // "m VVKKSS\n"

// `lines` lines of "m VVKKSS", alternately a note-on (velocity 7F) and the note-off of the same
// key, the keys rising through all 128.
inline std::string short_message_lines(std::size_t lines) {
  std::string text;
  char line[16];
  for (std::size_t i = 0; i < lines; ++i) {
    const unsigned key = static_cast<unsigned>((i / 2) % 128);
    const bool on = i % 2 == 0;
    std::snprintf(line, sizeof line, "m %02X%02X%02X\n", on ? 0x7Fu : 0u, key, on ? 0x90u : 0x80u);
    text += line;
  }
  return text;
}

}  // namespace bench
