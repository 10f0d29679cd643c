#include "generated_streams.h"

#include <cstdio>

namespace bench {

std::string short_message_lines(std::size_t lines) {
  std::string text;
  text.reserve(lines * 9);
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

namespace bench {

std::string long_message_text(std::size_t bytes) {
  char field[24];
  // The count is a hex field like every other.
  std::snprintf(field, sizeof field, "l %zX", bytes);
  std::string text = field;
  text.reserve(text.size() + bytes * 3 + 1);
  for (std::size_t i = 0; i < bytes; ++i) {
    unsigned byte = static_cast<unsigned>(i % 128);
    if (i == 0) byte = 0xF0;
    if (i + 1 == bytes) byte = 0xF7;
    std::snprintf(field, sizeof field, " %02X", byte);
    text += field;
  }
  text += '\n';
  return text;
}

}  // namespace bench
