#include "long_message.h"

#include <memory>
#include <new>

#include "../command/stream_reading.h"
#include "midi_port.h"

namespace hexmidi {

namespace {

constexpr UINT header_size = sizeof(MIDIHDR);

// A count we could not allocate for: its fields are read and dropped all the same, so that they
// are not taken for commands (an "l" or "m" can't occur in a field, but this keeps the stream in
// step with what its writer meant). The first field that fails ends it, as for a sent message.
void skip_byte_fields(std::FILE* in, RunState& run) {
  for (std::int32_t i = 0; i < run.count; ++i) {
    if (!read_hex_field(in, run.value)) return;
  }
}

// False when a field fails to read: a message padded out with a stale byte must never be sent, so
// the caller drops it, and the character that stopped the field is read next as a command.
bool read_byte_fields(std::FILE* in, RunState& run, std::uint8_t* buffer) {
  for (std::int32_t i = 0; i < run.count; ++i) {
    if (!read_hex_field(in, run.value)) return false;
    buffer[i] = static_cast<std::uint8_t>(run.value & 0xFF);
  }
  return true;
}

// Hands the filled buffer to the port and returns only once the port has let go of it. The wait
// is deliberately a plain poll: the port is opened without a callback, and any pacing belongs to
// the port, not to us.
//
// A stop during the wait abandons the message the way the platform has for it: the reset lets go
// of every queued header (and ends the sounding notes, which the stop wants anyway), after which
// the unprepare succeeds. The buffer is never released while the port may still read it, so the
// wait goes on until the port has let go; a port that never does is what a second signal is for.
void send_through_header(RunState& run, std::uint8_t* buffer) {
  run.header.lpData = reinterpret_cast<LPSTR>(buffer);
  run.header.dwBufferLength = static_cast<DWORD>(run.count);
  run.header.dwFlags = 0;
  if (midiOutPrepareHeader(run.port, &run.header, header_size) != MMSYSERR_NOERROR) return;
  midiOutLongMsg(run.port, &run.header, header_size);
  while (midiOutUnprepareHeader(run.port, &run.header, header_size) == MIDIERR_STILLPLAYING) {
    if (!run.port_reset && run.stop.asked()) {
      reset_port(run.port);
      run.port_reset = true;
    }
  }
}

}  // namespace

void carry_out_long_message(std::FILE* in, RunState& run) {
  std::uint32_t count_field{};
  if (!read_hex_field(in, count_field)) return;
  run.count = static_cast<std::int32_t>(count_field);
  // A negative count has no length to allocate or bytes to read.
  if (run.count < 0) return;

  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow)
                                             std::uint8_t[static_cast<std::size_t>(run.count)]);
  if (!buffer) {
    skip_byte_fields(in, run);
    return;
  }
  // Bytes cut short by a stop are not the message that was meant: it is dropped, as for a field
  // that fails.
  if (!read_byte_fields(in, run, buffer.get()) || run.stop.asked()) return;
  send_through_header(run, buffer.get());
}

}  // namespace hexmidi
