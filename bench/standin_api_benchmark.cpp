// What one call of the stand-in's MIDI output API costs before any backend sees it: handle check,
// unpacking of the packed value, note tracking, and for a long message the header's cycle. The
// backend here only counts, so the figures are the API layer's own, the part every backend shares.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "backend.h"
#include "winmm_standin.h"

namespace {

class CountingBackend final : public winmm_standin::MidiBackend {
 public:
  MMRESULT send_message(const std::uint8_t* bytes, std::size_t) override {
    benchmark::DoNotOptimize(bytes);
    return MMSYSERR_NOERROR;
  }
  MMRESULT start_long_message(const std::uint8_t* bytes, std::size_t) override {
    benchmark::DoNotOptimize(bytes);
    return MMSYSERR_NOERROR;
  }
  bool advance_long_message() override { return true; }
  void abandon_long_message() override {}
  void drain() override {}
};

void BM_ShortMessage(benchmark::State& state) {
  HMIDIOUT port = nullptr;
  midiOutOpen(&port, 0, 0, 0, CALLBACK_NULL);
  DWORD key = 0;
  for (auto _ : state) {
    // A note-on and its note-off, so that the note tracking does its whole work.
    midiOutShortMsg(port, 0x7F0090 | key << 8);
    midiOutShortMsg(port, 0x000080 | key << 8);
    key = (key + 1) & 0x7F;
  }
  midiOutClose(port);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2);
}

void BM_LongMessageCycle(benchmark::State& state) {
  HMIDIOUT port = nullptr;
  midiOutOpen(&port, 0, 0, 0, CALLBACK_NULL);
  std::vector<char> bytes(static_cast<std::size_t>(state.range(0)), 0x10);
  bytes.front() = static_cast<char>(0xF0);
  bytes.back() = static_cast<char>(0xF7);
  MIDIHDR header{};
  for (auto _ : state) {
    header = MIDIHDR{};
    header.lpData = bytes.data();
    header.dwBufferLength = static_cast<DWORD>(bytes.size());
    midiOutPrepareHeader(port, &header, sizeof header);
    midiOutLongMsg(port, &header, sizeof header);
    while (midiOutUnprepareHeader(port, &header, sizeof header) == MIDIERR_STILLPLAYING) {
    }
  }
  midiOutClose(port);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

namespace winmm_standin {
std::unique_ptr<MidiBackend> open_first_output_backend() {
  return std::make_unique<CountingBackend>();
}
}  // namespace winmm_standin

BENCHMARK(BM_ShortMessage);
BENCHMARK(BM_LongMessageCycle)->Arg(6)->Arg(1 << 20);

BENCHMARK_MAIN();
