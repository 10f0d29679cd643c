#include "sounding_notes.h"

namespace winmm_standin {

namespace {

constexpr std::uint8_t note_off = 0x80;
constexpr std::uint8_t note_on = 0x90;
constexpr std::uint8_t control_change = 0xB0;
constexpr std::uint8_t sustain_pedal = 0x40;

std::size_t index_of(unsigned channel, unsigned key) {
  return channel * 128 + key;
}

}  // namespace

void SoundingNotes::note_sent(const ShortMessage& message) {
  std::uint8_t kind = message.bytes[0] & 0xF0;
  if (kind != note_on && kind != note_off) return;
  std::size_t index = index_of(message.bytes[0] & 0x0F, message.bytes[1] & 0x7F);
  bool starts_note = kind == note_on && message.bytes[2] != 0;
  sounding_.set(index, starts_note);
}

std::vector<ShortMessage> SoundingNotes::take_reset_messages() {
  std::vector<ShortMessage> messages;
  messages.reserve(sounding_.count() + 16);
  for (unsigned channel = 0; channel < 16; ++channel) {
    for (unsigned key = 0; key < 128; ++key) {
      if (!sounding_.test(index_of(channel, key))) continue;
      messages.push_back({{std::uint8_t(note_off | channel), std::uint8_t(key), 0}, 3});
    }
  }
  for (unsigned channel = 0; channel < 16; ++channel) {
    messages.push_back({{std::uint8_t(control_change | channel), sustain_pedal, 0}, 3});
  }
  sounding_.reset();
  return messages;
}

}  // namespace winmm_standin
