// The two ways the command stream is read: one command character, one hex field. Both are the C
// library's formatted input, so the stream's grammar is exactly that of "%c" and "%x".
#pragma once

#include <cstdint>
#include <cstdio>

namespace hexmidi {

// The very next character of the stream, white space and control characters included. False at
// the end of the input or on a read error.
bool read_command_character(std::FILE* in, unsigned char& character);

// One hex field: leading white space skipped, an optional sign and 0x prefix, then hex digits. On
// failure `destination` is left as it was and the character that stopped the field stays unread.
bool read_hex_field(std::FILE* in, std::uint32_t& destination);

}  // namespace hexmidi
