// note_producer: writes the benchmarks' note stream with random gaps, either as text into a pipe
// (to hexmidi's standard input) or straight through RtMidi's JACK output, and logs the JACK frame
// time of every write, so that a recording of what reached the server gives each message's latency.
//
//   note_producer pipe <messages> <longest gap in us> <write log|-> [time limit s]
//       the messages as text on standard output
//   note_producer rtmidi <messages> <longest gap in us> <write log|-> [time limit s]
//       the messages through RtMidi to the first JACK MIDI input port; prints how many it sent
//   note_producer start <start log> <program> [arguments...]
//       runs the program to its end, its standard input and output inherited, and logs the frame
//       time just before it starts: the first arrival less that is the program's start-up
//
// Sending stops at the time limit, if one is given, so that a sender slowed down by a busy machine
// still ends in a bounded time; the count printed then says how far it got.
//
// The messages are those of stream_writer short: note-on and note-off pairs. The gaps are uniform
// from 0 to the longest, drawn from a fixed seed, so both ways get the same gaps; a longest gap of
// 0 sends back to back. The log has one frame time a line, in the order of the messages. The clock
// is a JACK client of its own with no ports: it joins no graph, so it changes nothing it measures.
// When logging into a pipe it first waits for hexmidi's port to be connected. Either way, when
// logging, it then lets the server run a quarter of a second more before the first message, so
// that start-up is out of the figures: hexmidi's (it reads only once its new connection carries
// data, two periods on), and the server's own, whose clock falls behind by a few periods while it
// reorders its graph for a new client. Start-up has a measurement of its own.
#include <jack/jack.h>
#include <sys/wait.h>
#include <unistd.h>

#include <RtMidi.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "generated_streams.h"

namespace {

constexpr std::size_t line_length = 9;  // "m VVKKSS\n"

void ignore_jack_message(const char*) {}
void ignore_rtmidi_error(RtMidiError::Type, const std::string&, void*) {}

class FrameClock {
 public:
  bool open() {
    jack_set_error_function(ignore_jack_message);
    jack_set_info_function(ignore_jack_message);
    client_ = jack_client_open("note_producer_clock", JackNoStartServer, nullptr);
    return client_ != nullptr;
  }
  ~FrameClock() {
    if (client_ != nullptr) jack_client_close(client_);
  }
  jack_nframes_t now() const { return jack_frame_time(client_); }
  jack_nframes_t rate() const { return jack_get_sample_rate(client_); }

  // Counted in the server's frames, so that a server that falls behind is waited for.
  void wait_frames(jack_nframes_t frames) const {
    const jack_nframes_t from = now();
    while (now() - from < frames) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  // Until hexmidi has joined the graph: what is written before that waits in the pipe and would
  // count its start-up as latency.
  bool wait_for_connected(const char* port_name) const {
    for (int waited_ms = 0; waited_ms < 10'000; ++waited_ms) {
      jack_port_t* port = jack_port_by_name(client_, port_name);
      if (port != nullptr && jack_port_connected(port) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  jack_client_t* client_ = nullptr;
};

// The three bytes of line i, as the program would unpack them: status, key, velocity. The line is
// copied out first: sscanf on the whole text would measure the length of all of it every call.
std::vector<unsigned char> bytes_of(const std::string& lines, std::size_t i) {
  char line[line_length + 1]{};
  lines.copy(line, line_length, i * line_length);
  unsigned packed = 0;
  std::sscanf(line, "m %x", &packed);
  return {static_cast<unsigned char>(packed & 0xFF), static_cast<unsigned char>(packed >> 8 & 0xFF),
          static_cast<unsigned char>(packed >> 16 & 0xFF)};
}

// The frame is read before the fork, so that the start-up measured includes the fork and exec a
// shell would pay as well.
int start_program(const char* log_path, char** program) {
  FrameClock clock;
  if (!clock.open()) return 2;
  const jack_nframes_t started_at = clock.now();
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    execv(program[0], program);
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return 1;
  std::FILE* log = std::fopen(log_path, "w");
  if (log == nullptr) return 1;
  std::fprintf(log, "%u\n", started_at);
  if (std::fclose(log) != 0) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "start") == 0) return start_program(argv[2], argv + 3);
  if (argc != 5 && argc != 6) {
    std::fprintf(
        stderr, "usage: note_producer pipe|rtmidi <messages> <longest gap us> <log|-> [limit s]\n");
    return 1;
  }
  const bool through_rtmidi = std::strcmp(argv[1], "rtmidi") == 0;
  const std::size_t messages = std::strtoul(argv[2], nullptr, 10);
  const int longest_gap_us = std::atoi(argv[3]);
  const bool logging = std::strcmp(argv[4], "-") != 0;
  const double time_limit_s = argc == 6 ? std::atof(argv[5]) : 0.0;

  FrameClock clock;
  if (logging && !clock.open()) return 2;
  if (logging && !through_rtmidi && !clock.wait_for_connected("hexmidi:out")) return 2;
  std::unique_ptr<RtMidiOut> rtmidi;
  if (through_rtmidi) {
    try {
      rtmidi = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "rtmidi_producer");
      rtmidi->setErrorCallback(ignore_rtmidi_error, nullptr);
      if (rtmidi->getPortCount() == 0) return 2;
      rtmidi->openPort(0, "out");
    } catch (const RtMidiError&) {
      return 2;
    }
  }

  if (logging) clock.wait_frames(clock.rate() / 4);

  const std::string lines = bench::short_message_lines(messages);
  std::vector<jack_nframes_t> written(logging ? messages : 0);
  std::mt19937 random(20260102);
  std::uniform_int_distribution<int> gap_us(0, longest_gap_us);
  const auto started = std::chrono::steady_clock::now();
  std::size_t sent = 0;
  for (std::size_t i = 0; i < messages; ++i, ++sent) {
    if (time_limit_s > 0 && i % 1024 == 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >
            time_limit_s) {
      break;
    }
    if (longest_gap_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(gap_us(random)));
    if (logging) written[i] = clock.now();
    if (through_rtmidi) {
      std::vector<unsigned char> bytes = bytes_of(lines, i);
      rtmidi->sendMessage(&bytes);
    } else if (write(STDOUT_FILENO, lines.data() + i * line_length, line_length) !=
               static_cast<ssize_t>(line_length)) {
      return 1;
    }
  }
  // RtMidi has no drain: give its ring a few periods to empty before the port goes away, so that
  // whatever is lost was lost to a full buffer, not to closing early.
  if (rtmidi) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("%zu\n", sent);
  }

  if (logging) {
    std::FILE* log = std::fopen(argv[4], "w");
    if (log == nullptr) return 1;
    for (std::size_t i = 0; i < sent; ++i) std::fprintf(log, "%u\n", written[i]);
    if (std::fclose(log) != 0) return 1;
  }
  return 0;
}
