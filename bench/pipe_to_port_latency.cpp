// pipe_to_port_latency: how long a line written into the program's input pipe takes to become a
// midiOutShortMsg call. The program's command loop reads the pipe on this thread, against the
// recording stand-in, which stamps each short message as it is called; a producer thread writes one
// line at a time and stamps each write.
//
//   pipe_to_port_latency [samples]     prints {"samples":..,"median_us":..,"p99_us":..,...}
//
// The producer waits for each message to arrive and then a random 0.1 to 1 ms more before the next
// write, so that the reader is asleep in read() when the line comes, as it is behind a person or a
// sequencer. Writing back to back was rejected: it would measure stdio's buffering, not the
// wake-up.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "command/command_loop.h"
#include "generated_streams.h"
#include "recording_midi_out.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Stamps {
  std::vector<Clock::time_point> written;
  std::vector<Clock::time_point> called;
  std::atomic<std::size_t> calls{0};
};

void stamp_short_messages(Stamps& stamps) {
  recording::set_counting_only(true);
  recording::on_call([&stamps](const recording::Call& call) {
    if (call.function != recording::Function::short_message) return;
    std::size_t index = stamps.calls.load(std::memory_order_relaxed);
    if (index < stamps.called.size()) stamps.called[index] = Clock::now();
    stamps.calls.store(index + 1, std::memory_order_release);
  });
}

void write_lines(int pipe_in, Stamps& stamps, const std::string& lines) {
  std::mt19937 random(20260101);
  std::uniform_int_distribution<int> gap_us(100, 1000);
  const std::size_t samples = stamps.written.size();
  const std::size_t line_length = lines.size() / samples;
  for (std::size_t i = 0; i < samples; ++i) {
    stamps.written[i] = Clock::now();
    if (write(pipe_in, lines.data() + i * line_length, line_length) !=
        static_cast<ssize_t>(line_length)) {
      std::abort();
    }
    while (stamps.calls.load(std::memory_order_acquire) <= i) {
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us(random)));
  }
  close(pipe_in);
}

double microseconds_at(std::vector<double>& sorted, double share) {
  auto index = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t samples = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 3000;
  if (samples == 0) return 1;
  Stamps stamps;
  stamps.written.resize(samples);
  stamps.called.resize(samples);
  stamp_short_messages(stamps);

  int fds[2];
  if (pipe(fds) != 0) return 1;
  std::FILE* in = fdopen(fds[0], "r");
  if (in == nullptr) return 1;
  const std::string lines = bench::short_message_lines(samples);
  std::thread producer(write_lines, fds[1], std::ref(stamps), std::cref(lines));
  hexmidi::run_command_loop(in);
  producer.join();
  std::fclose(in);
  if (stamps.calls.load() != samples) return 1;

  std::vector<double> latency(samples);
  for (std::size_t i = 0; i < samples; ++i) {
    latency[i] =
        std::chrono::duration<double, std::micro>(stamps.called[i] - stamps.written[i]).count();
  }
  std::sort(latency.begin(), latency.end());
  std::printf(
      "{\"samples\": %zu, \"median_us\": %.2f, \"p1_us\": %.2f, \"p99_us\": %.2f, "
      "\"max_us\": %.2f}\n",
      samples, microseconds_at(latency, 0.5), microseconds_at(latency, 0.01),
      microseconds_at(latency, 0.99), latency.back());
  return 0;
}
