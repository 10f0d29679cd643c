// Turns the packed 32-bit value of a short message into the bytes of a complete MIDI message, as
// Windows does: the status in bits 0-7, then as many data bytes as that status takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "winmm_standin.h"

namespace winmm_standin {

struct ShortMessage {
  std::uint8_t bytes[3]{};
  std::size_t length = 0;
};

// Data bytes that follow a status byte in a short message: 0 for the ones that can't be sent as
// one (system exclusive and the undefined F4, F5, F7 are refused earlier).
std::size_t data_length_of(std::uint8_t status);

class ShortMessageUnpacker {
 public:
  // Null when the value can't be sent as a short message: running status with none established,
  // or a status that belongs to long messages.
  std::optional<ShortMessage> unpack(DWORD packed);

 private:
  std::uint8_t running_status_ = 0;  // 0: none
};

}  // namespace winmm_standin
