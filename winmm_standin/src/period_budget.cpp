#include "period_budget.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace winmm_standin {

namespace {

// PipeWire's own buffer for a period's sequence, fixed in its code (MIDI_SCRATCH_FRAMES floats).
constexpr std::size_t pipewire_sequence_buffer = 32768;
constexpr std::size_t sequence_header = 16;
constexpr std::size_t control_header = 16;  // the control's offset and type, its bytes' pod header
constexpr std::size_t ump_control = 24;     // a control of one packet of up to 8 bytes
constexpr std::size_t sysex_bytes_per_packet = 6;

// netjack2's network buffer: 4 bytes (a float) a frame for each MIDI port, into which go the port
// buffer's header (sizeof(JackMidiBuffer), six 32-bit fields and the first event) and 12 bytes for
// each event (sizeof(JackMidiEvent)), whose bytes are inline up to 4 (INLINE_SIZE_MAX).
constexpr std::size_t net_bytes_per_frame = 4;
constexpr std::size_t net_header = 36;
constexpr std::size_t net_event = 12;
constexpr std::size_t net_inline = 4;

// PipeWire's libjack sizes a MIDI port buffer as clock.quantum-limit floats (max_frames), and the
// server's control mixer its buffer as clock.quantum-limit bytes; both read the same setting.
constexpr std::size_t port_buffer_per_mixer_byte = sizeof(float);
// RTP-MIDI (see the header): the time after a period that carried events during which no period
// does, in microseconds: both float steps of the far end at the largest timestamps, 256 RTP units
// at 10 kHz and 1/32 s. And what one packet holds at PipeWire's default net.mtu of 1,280 bytes:
// 1,238 bytes of commands (less the IP, UDP and RTP headers and the RTP-MIDI header's 2), the
// first message of 3 bytes and each other one a delta time of a byte and 3 bytes.
constexpr std::size_t rtp_quiet_us = 31'250 + 25'600;
constexpr std::size_t rtp_packet_messages = (1238 - 3) / 4 + 1;

std::size_t padded(std::size_t length) {
  return (length + 7) / 8 * 8;
}

}  // namespace

MidiCarriage midi_carriage(const char* version_string) {
  const char* pipewire = version_string ? std::strstr(version_string, "using PipeWire ") : nullptr;
  if (pipewire == nullptr) return MidiCarriage::jack;
  unsigned major = 0, minor = 0, micro = 0;
  if (std::sscanf(pipewire, "using PipeWire %u.%u.%u", &major, &minor, &micro) != 3) {
    return MidiCarriage::unknown;
  }
  const unsigned version = major * 1'000'000 + minor * 1'000 + micro;
  return version >= 1'003'081 && version < 1'006'003 ? MidiCarriage::ump : MidiCarriage::raw;
}

// netjack2's share is that of one port, whatever the number of ports: another port's header
// takes from the buffer too. A period too short to hold the header still gets an event: the
// stream then goes on, as the engine carries it, rather than stopping.
PeriodBudget::PeriodBudget(MidiCarriage carriage, std::size_t buffer_size, std::size_t frames,
                           std::size_t rate)
    : carriage_(carriage),
      capacity_(carriage == MidiCarriage::net
                    ? std::max(frames * net_bytes_per_frame, net_header + net_event) - net_header
                    : std::max(std::min(carriage == MidiCarriage::rtp
                                            ? buffer_size / port_buffer_per_mixer_byte
                                            : buffer_size,
                                        pipewire_sequence_buffer),
                               sequence_header) -
                          sequence_header),
      rate_(rate),
      quiet_us_(rtp_quiet_us) {}

// Into RTP-MIDI a period carries events only once a quiet time has passed since the last one that
// did, and then as many as one packet and the far end's mixer (as large as ours) hold.
void PeriodBudget::start_period(std::size_t frames) {
  left_ = capacity_;
  if (carriage_ != MidiCarriage::rtp) return;
  quiet_us_ = sent_ ? 0 : std::min(quiet_us_ + previous_us_, rtp_quiet_us);
  sent_ = false;
  previous_us_ = rate_ == 0 ? rtp_quiet_us : frames * 1'000'000 / rate_;
  const std::size_t controls = std::min(capacity_ / (control_header + 8), rtp_packet_messages);
  left_ = quiet_us_ < rtp_quiet_us ? 0 : controls * (control_header + 8);
}

// A figure as the carriage in use has it; where the version cannot be told, the safer of the two:
// the larger of two costs, the smaller of two room.
std::size_t PeriodBudget::of_carriage(std::size_t raw, std::size_t ump,
                                      bool larger_is_safer) const {
  // Into RTP-MIDI go short messages alone, a control of the same size either way.
  if (carriage_ == MidiCarriage::raw || carriage_ == MidiCarriage::rtp) return raw;
  if (carriage_ == MidiCarriage::ump) return ump;
  return larger_is_safer ? std::max(raw, ump) : std::min(raw, ump);
}

std::size_t PeriodBudget::cost(std::size_t length, EventKind kind) const {
  const std::size_t raw = control_header + padded(length);
  std::size_t packets = 1;
  if (kind == EventKind::system_exclusive) {
    packets =
        std::max<std::size_t>(1, (length + sysex_bytes_per_packet - 1) / sysex_bytes_per_packet);
  } else if (kind == EventKind::other) {
    packets = std::max<std::size_t>(1, length);
  }
  if (carriage_ == MidiCarriage::jack) return 0;
  if (carriage_ == MidiCarriage::net) return net_event;
  return of_carriage(raw, packets * ump_control, true);
}

bool PeriodBudget::take(std::size_t length, EventKind kind) {
  const std::size_t needed = cost(length, kind);
  if (needed > left_) return false;
  left_ -= needed;
  sent_ = true;
  return true;
}

bool PeriodBudget::fits_a_period(std::size_t length, EventKind kind) const {
  if (carriage_ == MidiCarriage::net && length > net_inline) return false;
  return cost(length, kind) <= capacity_;
}

std::size_t PeriodBudget::longest_piece(EventKind kind) const {
  const std::size_t raw = left_ >= control_header ? (left_ - control_header) / 8 * 8 : 0;
  const std::size_t packets = left_ / ump_control;
  const std::size_t ump =
      kind == EventKind::system_exclusive ? packets * sysex_bytes_per_packet : packets;
  if (carriage_ == MidiCarriage::jack) return std::numeric_limits<std::size_t>::max();
  if (carriage_ == MidiCarriage::net) return left_ >= net_event ? net_inline : 0;
  return of_carriage(raw, ump, false);
}

std::size_t PeriodBudget::usable_room(std::size_t max_event_size) const {
  if (carriage_ == MidiCarriage::jack || carriage_ == MidiCarriage::net || max_event_size == 0) {
    return max_event_size;
  }
  return max_event_size - 1;
}

bool PeriodBudget::can_send(std::size_t length, EventKind kind) const {
  if (carriage_ == MidiCarriage::rtp) return kind == EventKind::message;
  return carriage_ != MidiCarriage::ump || kind == EventKind::system_exclusive ||
         fits_a_period(length, kind);
}

}  // namespace winmm_standin
