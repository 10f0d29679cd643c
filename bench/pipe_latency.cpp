// pipe_latency: how long a line written into a pipe takes to reach its reader; prints {"us": [..]}.
//   pipe_latency loop|bare <lines> <shortest gap us> <longest gap us> [reader priority]
// loop: the program's command loop reads, against the recording stand-in; a line has arrived at
// its midiOutShortMsg call. bare: a thread that only read()s, the floor any reader meets. The
// writer waits for each line to arrive, then a random gap, so the reader is asleep in read() each
// time. The reader takes SCHED_FIFO at the priority given; the writer keeps the process's.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "command/command_loop.h"
#include "generated_streams.h"
#include "recording_midi_out.h"

namespace {

using Clock = std::chrono::steady_clock;
std::vector<Clock::time_point> written, arrived;
std::atomic<std::size_t> arrivals{0};

void stamp_arrival() {
  const std::size_t index = arrivals.load(std::memory_order_relaxed);
  if (index < arrived.size()) arrived[index] = Clock::now();
  arrivals.store(index + 1, std::memory_order_release);
}

void write_lines(int pipe_in, int shortest_us, int longest_us) {
  std::mt19937 random(20260102);
  std::uniform_int_distribution<int> gap_us(shortest_us, longest_us);
  const std::string lines = bench::short_message_lines(written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    written[i] = Clock::now();
    if (write(pipe_in, lines.data() + i * bench::line_length, bench::line_length) !=
        static_cast<ssize_t>(bench::line_length)) {
      std::abort();
    }
    while (arrivals.load(std::memory_order_acquire) <= i) {
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(gap_us(random)));
  }
  close(pipe_in);
}

void read_bare(int pipe_out) {
  char line[bench::line_length];
  while (read(pipe_out, line, sizeof line) > 0) stamp_arrival();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) return 1;
  const bool bare = std::strcmp(argv[1], "bare") == 0;
  written.resize(std::strtoul(argv[2], nullptr, 10));
  arrived.resize(written.size());
  int fds[2];
  if (written.empty() || pipe(fds) != 0) return 1;
  std::thread writer(write_lines, fds[1], std::atoi(argv[3]), std::atoi(argv[4]));
  if (argc > 5) {
    sched_param param{};
    param.sched_priority = std::atoi(argv[5]);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  }
  if (bare) {
    read_bare(fds[0]);
  } else {
    recording::set_counting_only(true);
    recording::on_call([](const recording::Call& call) {
      if (call.function == recording::Function::short_message) stamp_arrival();
    });
    hexmidi::run_command_loop(fdopen(fds[0], "r"));
  }
  writer.join();
  if (arrivals.load() != written.size()) return 1;
  std::printf("{\"us\": [");
  for (std::size_t i = 0; i < written.size(); ++i) {
    std::printf("%s%.2f", i ? ", " : "",
                std::chrono::duration<double, std::micro>(arrived[i] - written[i]).count());
  }
  std::printf("]}\n");
  return 0;
}
