// Feeds arbitrary bytes, as the command stream, through the reading operations, the command loop
// and long messages, on the recording stand-in, and checks the port protocol as it happens: the
// port opened first and once, reset then closed last and once, and every long message going
// through prepare, send and unprepare-until-let-go with its header and buffer intact.
//
// The sanitizers do the rest: every byte of every prepared buffer is read here, so a length that
// does not match its buffer is an out-of-bounds read.
//
// A first byte of 80 or above also scripts the port's answers (an open that fails, prepares that
// are refused, unprepares that answer "still playing" a few times). It stays in the stream, where
// the command loop skips it like any other character, so text seeds run as they are.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "command/command_loop.h"
#include "recording_midi_out.h"
#include "refusable_array_new.h"

namespace {

using recording::Call;
using recording::Function;

// Any broken promise is a crash for libFuzzer to report and minimise.
void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

enum class PortState { unopened, idle, prepared, sending, reset, closed };

struct ProtocolChecker {
  PortState state = PortState::unopened;
  const MIDIHDR* header = nullptr;
  unsigned checksum = 0;

  void check(const Call& call) {
    switch (call.function) {
      case Function::open:
        require(state == PortState::unopened, "the port is opened once, before anything else");
        state = PortState::idle;
        break;
      case Function::short_message:
        require(state == PortState::idle, "a short message goes only between long messages");
        break;
      case Function::prepare:
        check_prepare(call);
        break;
      case Function::long_message:
        require(state == PortState::prepared, "only a prepared header is sent");
        require(call.header == header, "the header sent is the one prepared");
        state = PortState::sending;
        break;
      case Function::unprepare:
        require(state == PortState::sending, "unprepare follows the send");
        require(call.header == header, "the header waited for is the one sent");
        if (call.result != MIDIERR_STILLPLAYING) state = PortState::idle;
        break;
      case Function::reset:
        require(state == PortState::idle, "reset comes after the last command is over");
        state = PortState::reset;
        break;
      case Function::close:
        require(state == PortState::reset, "close follows reset");
        state = PortState::closed;
        break;
    }
  }

  void check_prepare(const Call& call) {
    require(state == PortState::idle, "a long message starts only when the last one is over");
    require(header == nullptr || call.header == header, "every long message uses the one header");
    header = call.header;
    require(call.header_size == sizeof(MIDIHDR), "the header's size is passed");
    require(call.fields.dwFlags == 0, "flags are cleared before every prepare");
    require(call.fields.dwBufferLength == 0 || call.fields.lpData != nullptr,
            "a non-empty message has a buffer");
    // Touches every byte of the buffer, so that AddressSanitizer sees a length that overruns it.
    const auto* bytes = reinterpret_cast<const unsigned char*>(call.fields.lpData);
    for (DWORD i = 0; i < call.fields.dwBufferLength; ++i) checksum += bytes[i];
    if (call.result == MMSYSERR_NOERROR) state = PortState::prepared;
  }
};

void script_answers(std::uint8_t control) {
  if (control & 0x01) recording::script(Function::open, {MMSYSERR_BADDEVICEID});
  if (control & 0x02) {
    recording::script(Function::prepare,
                      {MMSYSERR_INVALPARAM, MMSYSERR_NOERROR, MMSYSERR_NODRIVER, MMSYSERR_NOERROR});
  }
  std::vector<MMRESULT> unprepares(control >> 3 & 0x0F, MIDIERR_STILLPLAYING);
  if (control & 0x04) unprepares.push_back(MMSYSERR_INVALHANDLE);
  recording::script(Function::unprepare, unprepares);
}

}  // namespace

// A count asks for a buffer of up to 2 GB - 1. The program touches only the bytes it reads, so
// such a block costs nothing on its own, but AddressSanitizer maps it and poisons 256 MB of
// shadow for it twice over when it is freed, which cut the rate to a few hundred runs a second.
// A buffer longer than the input can never be filled (each byte takes at least one character),
// so here it is refused instead: such a count runs through the program's refused-allocation
// path, which must end the message the same way, dropped at the first field that fails. Capping
// the sanitizer's own allocation size was tried and rejected: libFuzzer itself needs 20 MB blocks.
static std::size_t input_size = 0;

bool refuse_array_allocation(std::size_t size) {
  return size > input_size;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // fmemopen refuses a buffer of no bytes; the empty stream is covered by the unit tests.
  if (size == 0) return 0;
  input_size = size;
  recording::reset();
  // Only counts are kept, so that a stream of many messages uses no memory for them.
  recording::set_counting_only(true);
  if (data[0] >= 0x80) script_answers(data[0]);
  ProtocolChecker checker;
  recording::on_call([&checker](const Call& call) { checker.check(call); });

  std::FILE* in = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  require(in != nullptr, "a memory stream can be opened");
  require(hexmidi::run_command_loop(in) == 0, "the run ends with status 0");
  std::fclose(in);
  require(checker.state == PortState::closed, "the run ends with the port closed");
  recording::on_call(nullptr);
  return 0;
}
