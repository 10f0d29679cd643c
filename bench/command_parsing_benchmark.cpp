// Commands per second of the program's command loop, sending into the counting stand-in, beside a
// bare "%c"/"%x" loop over the same stream: the loop cannot be faster than the C library's
// formatted input it is built on, so the ratio of the two is what the program's own code costs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command/command_loop.h"
#include "counting_midi_out.h"
#include "generated_streams.h"

namespace {

constexpr std::size_t stream_lines = 1'000'000;

// One file for every benchmark here, written once: the page cache then serves every run alike.
std::FILE* shared_stream() {
  static std::FILE* stream = [] {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) std::abort();
    const std::string text = bench::short_message_lines(stream_lines);
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) std::abort();
    return file;
  }();
  std::rewind(stream);
  return stream;
}

// The least a reader of this grammar can do: a command character, and on "m" one hex field.
std::uint64_t run_bare_scanf_loop(std::FILE* in) {
  std::uint64_t fields = 0;
  char command{};
  unsigned int value{};
  while (std::fscanf(in, "%c", &command) == 1) {
    if (command == 'm' && std::fscanf(in, "%x", &value) == 1) ++fields;
  }
  benchmark::DoNotOptimize(value);
  return fields;
}

void BM_BareScanfLoop(benchmark::State& state) {
  std::uint64_t fields = 0;
  for (auto _ : state) fields = run_bare_scanf_loop(shared_stream());
  if (fields != stream_lines) state.SkipWithError("the bare loop read the wrong number of fields");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * stream_lines));
}

void BM_CommandLoopIntoCountingPort(benchmark::State& state) {
  for (auto _ : state) {
    counting::reset();
    hexmidi::run_command_loop(shared_stream());
  }
  if (counting::short_messages() != stream_lines) {
    state.SkipWithError("the command loop sent the wrong number of messages");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * stream_lines));
}

}  // namespace

BENCHMARK(BM_BareScanfLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommandLoopIntoCountingPort)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
