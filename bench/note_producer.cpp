// note_producer: writes the benchmarks' note stream with random gaps, as text into a pipe (to
// hexmidi's standard input) or straight through RtMidi's JACK output, and logs the JACK frame time
// of every write, so that a recording of what reached the server gives each message's latency.
//   note_producer pipe|rtmidi <messages> <longest gap us> <log|-> [time limit s]
//       rtmidi sends to the first JACK MIDI input port and prints how many it sent
//   note_producer start <log> <program> [arguments...]
//       runs the program and logs the frame time just before the fork: start-up's origin
// The gaps are uniform from 0 to the longest, from a fixed seed, so every way gets the same; 0
// sends back to back. Beside the log, <log>.cycles has a line per server cycle: its first frame,
// how far past it the server's clock (jack_frame_time) was as the callback ran, and when it ran,
// in microseconds (jack_get_cycle_times gives its clock filter's times, which smooth a late
// cycle away).
// The clock is a JACK client with no ports: woken each cycle, it joins no connection. Before the
// first message it waits for hexmidi's port to be connected, then a quarter of a second, so that
// start-up is out of the figures: hexmidi reads only once its connection carries data, and the
// server's clock falls behind while it reorders its graph for a new client.
#include <jack/jack.h>
#include <sys/wait.h>
#include <unistd.h>

#include <RtMidi.h>
#include <algorithm>
#include <atomic>
#include <chrono>
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

void ignore_jack_message(const char*) {}

jack_client_t* client = nullptr;
struct Cycle {
  jack_nframes_t frames, clock;
  jack_time_t callback_us;
};
std::vector<Cycle> cycles(1 << 16);  // taken beforehand: a process callback must not allocate
std::atomic<std::size_t> cycles_logged{0};

int log_cycle(jack_nframes_t, void*) {
  const std::size_t index = cycles_logged.fetch_add(1, std::memory_order_relaxed);
  if (index < cycles.size()) {
    cycles[index] = {jack_last_frame_time(client), jack_frame_time(client), jack_get_time()};
  }
  return 0;
}

bool open_clock() {
  jack_set_error_function(ignore_jack_message);
  jack_set_info_function(ignore_jack_message);
  client = jack_client_open("note_producer_clock", JackNoStartServer, nullptr);
  return client != nullptr;
}

// Until hexmidi's port is connected (or 10 s), then a quarter of a second in the server's frames.
void wait_for_start(bool for_hexmidi) {
  for (int ms = 0; for_hexmidi && ms < 10'000; ++ms) {
    jack_port_t* port = jack_port_by_name(client, "hexmidi:out");
    if (port != nullptr && jack_port_connected(port) > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const jack_nframes_t from = jack_frame_time(client);
  while (jack_frame_time(client) - from < 48000 / 4) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool write_logs(const std::string& path, const std::vector<jack_nframes_t>& written) {
  jack_deactivate(client);
  std::FILE* log = std::fopen(path.c_str(), "w");
  std::FILE* cycle_log = std::fopen((path + ".cycles").c_str(), "w");
  if (log == nullptr || cycle_log == nullptr) return false;
  for (jack_nframes_t frame : written) std::fprintf(log, "%u\n", frame);
  for (std::size_t i = 0; i < std::min(cycles_logged.load(), cycles.size()); ++i) {
    std::fprintf(cycle_log, "%u %d %llu\n", cycles[i].frames,
                 static_cast<int>(cycles[i].clock - cycles[i].frames),
                 static_cast<unsigned long long>(cycles[i].callback_us));
  }
  return std::fclose(log) == 0 && std::fclose(cycle_log) == 0;
}

int start_program(const char* log_path, char** program) {
  if (!open_clock()) return 2;
  const jack_nframes_t started_at = jack_frame_time(client);
  const pid_t child = fork();
  if (child == 0) {
    execv(program[0], program);
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return 1;
  std::FILE* log = std::fopen(log_path, "w");
  if (log == nullptr) return 1;
  std::fprintf(log, "%u\n", started_at);
  return std::fclose(log) == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "start") == 0) return start_program(argv[2], argv + 3);
  if (argc != 5 && argc != 6) return 1;
  const bool through_rtmidi = std::strcmp(argv[1], "rtmidi") == 0;
  const std::size_t messages = std::strtoul(argv[2], nullptr, 10);
  const std::string log_path = argv[4];
  const bool logging = log_path != "-";
  const double time_limit_s = argc == 6 ? std::atof(argv[5]) : 0.0;

  if (logging && !(open_clock() && jack_set_process_callback(client, log_cycle, nullptr) == 0 &&
                   jack_activate(client) == 0)) {
    return 2;
  }
  std::unique_ptr<RtMidiOut> rtmidi;
  try {
    if (through_rtmidi) {
      rtmidi = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, "rtmidi_producer");
      rtmidi->setErrorCallback([](RtMidiError::Type, const std::string&, void*) {}, nullptr);
      if (rtmidi->getPortCount() == 0) return 2;
      rtmidi->openPort(0, "out");
    }
  } catch (const RtMidiError&) {
    return 2;
  }
  if (logging) wait_for_start(!through_rtmidi);

  const std::string lines = bench::short_message_lines(messages);
  std::vector<jack_nframes_t> written;
  written.reserve(messages);
  std::mt19937 random(20260102);
  std::uniform_int_distribution<int> gap_us(0, std::atoi(argv[3]));
  const auto started = std::chrono::steady_clock::now();
  std::size_t sent = 0;
  for (; sent < messages; ++sent) {
    if (time_limit_s > 0 && sent % 1024 == 0 &&
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() >
            time_limit_s) {
      break;
    }
    if (gap_us.b() > 0) std::this_thread::sleep_for(std::chrono::microseconds(gap_us(random)));
    const char* line = lines.data() + sent * bench::line_length;
    if (logging) written.push_back(jack_frame_time(client));
    if (through_rtmidi) {
      const unsigned long packed = std::strtoul(std::string(line + 2, 6).c_str(), nullptr, 16);
      std::vector<unsigned char> bytes{static_cast<unsigned char>(packed & 0xFF),
                                       static_cast<unsigned char>(packed >> 8 & 0xFF),
                                       static_cast<unsigned char>(packed >> 16 & 0xFF)};
      rtmidi->sendMessage(&bytes);
    } else if (write(STDOUT_FILENO, line, bench::line_length) !=
               static_cast<ssize_t>(bench::line_length)) {
      return 1;
    }
  }
  // RtMidi has no drain: give its ring a few periods to empty before the port goes away, so that
  // whatever is lost was lost to a full buffer, not to closing early.
  if (rtmidi) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::printf("%zu\n", sent);
  }
  return !logging || write_logs(log_path, written) ? 0 : 1;
}
