#include "short_message_unpacking.h"

namespace winmm_standin {

namespace {

bool is_status(std::uint8_t byte) {
  return byte >= 0x80;
}
bool is_channel_status(std::uint8_t status) {
  return status < 0xF0;
}
bool is_real_time(std::uint8_t status) {
  return status >= 0xF8;
}
bool belongs_to_long_messages(std::uint8_t status) {
  return status == 0xF0 || status == 0xF4 || status == 0xF5 || status == 0xF7;
}

std::uint8_t byte_of(DWORD packed, int index) {
  return static_cast<std::uint8_t>((packed >> (8 * index)) & 0xFF);
}

}  // namespace

std::size_t data_length_of(std::uint8_t status) {
  switch (status & 0xF0) {
    case 0xC0:
    case 0xD0:
      return 1;
    case 0xF0:
      break;
    default:
      return 2;  // 8n, 9n, An, Bn, En
  }
  switch (status) {
    case 0xF1:
    case 0xF3:
      return 1;
    case 0xF2:
      return 2;
    default:
      return 0;  // F6 and the real-time bytes
  }
}

std::optional<ShortMessage> ShortMessageUnpacker::unpack(DWORD packed) {
  ShortMessage message;
  std::uint8_t first = byte_of(packed, 0);
  if (!is_status(first)) {
    if (running_status_ == 0) return std::nullopt;
    // Running status: every byte of the value is data for the status last sent.
    message.bytes[0] = running_status_;
    message.length = 1 + data_length_of(running_status_);
    for (std::size_t i = 1; i < message.length; ++i) message.bytes[i] = byte_of(packed, int(i - 1));
    return message;
  }
  if (belongs_to_long_messages(first)) return std::nullopt;

  message.bytes[0] = first;
  message.length = 1 + data_length_of(first);
  for (std::size_t i = 1; i < message.length; ++i) message.bytes[i] = byte_of(packed, int(i));

  if (is_channel_status(first)) {
    running_status_ = first;
  } else if (!is_real_time(first)) {
    running_status_ = 0;  // system common messages cancel running status; real-time ones don't
  }
  return message;
}

}  // namespace winmm_standin
