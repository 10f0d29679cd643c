#include "stream_reading.h"

namespace hexmidi {

// "%x" stores into an unsigned int; the value slot is declared by its width, so make sure the two
// are the same type on every platform we build for.
static_assert(sizeof(unsigned int) == sizeof(std::uint32_t));

bool read_command_character(std::FILE* in, unsigned char& character) {
  char read{};
  if (std::fscanf(in, "%c", &read) != 1) return false;
  character = static_cast<unsigned char>(read);
  return true;
}

bool read_hex_field(std::FILE* in, std::uint32_t& destination) {
  unsigned int read{};
  if (std::fscanf(in, "%x", &read) != 1) return false;
  destination = read;
  return true;
}

}  // namespace hexmidi
