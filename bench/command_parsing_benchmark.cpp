// Commands per second of the program's command loop, sending into a port that only counts, beside
// a bare "%c"/"%x" loop over the same stream: the loop cannot be faster than the C library's
// formatted input it is built on, so the ratio of the two is what the program's own code costs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command/command_loop.h"
#include "generated_streams.h"
#include "midi_api.h"

namespace {

constexpr std::size_t stream_lines = 1'000'000;
std::uint64_t short_messages = 0;

// One file for every benchmark here, written once: the page cache then serves every run alike.
std::FILE* shared_stream() {
  static std::FILE* stream = [] {
    std::FILE* file = std::tmpfile();
    const std::string text = bench::short_message_lines(stream_lines);
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size()) {
      std::abort();
    }
    return file;
  }();
  std::rewind(stream);
  return stream;
}

void BM_BareScanfLoop(benchmark::State& state) {
  std::uint64_t fields = 0;
  for (auto _ : state) {
    std::FILE* in = shared_stream();
    char command{};
    unsigned int value{};
    fields = 0;
    while (std::fscanf(in, "%c", &command) == 1) {
      if (command == 'm' && std::fscanf(in, "%x", &value) == 1) ++fields;
    }
    benchmark::DoNotOptimize(value);
  }
  if (fields != stream_lines) state.SkipWithError("the bare loop read the wrong number of fields");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * stream_lines));
}

void BM_CommandLoopIntoCountingPort(benchmark::State& state) {
  for (auto _ : state) {
    short_messages = 0;
    hexmidi::run_command_loop(shared_stream());
  }
  if (short_messages != stream_lines) state.SkipWithError("the loop sent the wrong count");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * stream_lines));
}

}  // namespace

// The port: every call succeeds, nothing is kept but the count, so that the figure is the
// program's code and not a recorder's bookkeeping.
extern "C" {
MMRESULT midiOutOpen(LPHMIDIOUT phmo, UINT, DWORD_PTR, DWORD_PTR, DWORD) {
  if (phmo != nullptr) *phmo = reinterpret_cast<HMIDIOUT>(std::uintptr_t{0x434F554E});
  return MMSYSERR_NOERROR;
}
MMRESULT midiOutShortMsg(HMIDIOUT, DWORD) {
  ++short_messages;
  return MMSYSERR_NOERROR;
}
MMRESULT midiOutPrepareHeader(HMIDIOUT, LPMIDIHDR, UINT) {
  return MMSYSERR_NOERROR;
}
MMRESULT midiOutLongMsg(HMIDIOUT, LPMIDIHDR, UINT) {
  return MMSYSERR_NOERROR;
}
MMRESULT midiOutUnprepareHeader(HMIDIOUT, LPMIDIHDR, UINT) {
  return MMSYSERR_NOERROR;
}
MMRESULT midiOutReset(HMIDIOUT) {
  return MMSYSERR_NOERROR;
}
MMRESULT midiOutClose(HMIDIOUT) {
  return MMSYSERR_NOERROR;
}
}

BENCHMARK(BM_BareScanfLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommandLoopIntoCountingPort)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
