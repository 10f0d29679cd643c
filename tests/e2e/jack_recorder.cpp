// jack_recorder: a JACK MIDI client that records every event that reaches its input ports, losing
// none, for the end-to-end tests. It can also stand in for the clients a setup shows to
// hexmidi (a bridge from the ALSA sequencer, a synthesizer), with their names, flags and aliases.
//
//   jack_recorder <output file> <status file> [port...]
//
// Each port is "client:port", then optionally "|physical", "|terminal" (JackPortIsPhysical,
// JackPortIsTerminal) and up to two "|alias=<name>". A client is everything before the first ':';
// a port name may hold more of them. An argument with no ':' names a client with one port "in";
// with no argument, that client is "recorder". Clients are opened in the order they first appear,
// under exactly those names, and ports registered in the order given, so that the server lists
// them in that order.
//
// It joins the server named by JACK_DEFAULT_SERVER (never starting one). Every event is written
// to <output file>, flushed as it comes, as one line: its absolute frame time
// (jack_last_frame_time of its cycle plus its offset), the number of the port that took it (0 for
// the first given), then its bytes in two-digit hex, e.g. "123456 0 90 3C 7F". <status file> is
// rewritten whole (by rename) many times a second once every client is active, as lines:
//   state waiting|ready|dropped
//                         ready once the server lists no MIDI input port but ours, so that a
//                         program started then chooses among exactly these, and we have run a
//                         cycle
//   port <name>           the full name of each port, in the order given
//   listed <name>         while waiting: each MIDI input port the server lists that is not ours
//   cycles <n>            process cycles run: the server is alive while it grows
//   frame <frame>         the frame at which our latest cycle began
//   missed <n>            cycles the frame clock passed over between two of ours: what the server
//                         handed to our ports in them never reached us
//   missed_at <from> <to> for each of the last such gaps (up to 64), the frames it spans: from the
//                         end of our cycle before it to the start of our cycle after it; and for
//                         each cycle that followed one of ours that overran, that cycle's frames
//   late <n>              cycles of ours that began a whole period or more after their cycle did
//   overran <n>           cycles of ours still running when the next began. PipeWire does not wait
//                         for them: the writer fills our input for that next cycle, and our cycle,
//                         as it ends, marks the input taken over it, so that what the next cycle
//                         carried never reaches us (seen as one period's events lost with no cycle
//                         missed, beside a busy loop on each core)
//   xruns <n>             xruns the server reported (JACK2 reports none when synchronous, so
//                         missed and late count there what this cannot)
//   clients <n>           other clients that joined the server since we started
//   ports <n>             ports other clients registered since we started
//   connections <n>       connections to our ports
//   joined <n>            connections made to our ports since we started
//   thread <policy> <priority>
//                         the scheduling of the first client's process thread, as it ran a cycle
//   locked yes|no         whether the ring's pages are locked in memory (they are touched anyway)
//   error <message>       each of the last few errors libjack reported
//   shutdown <reason>     the server dropped us
// On SIGTERM or SIGINT it stops taking events, writes out everything it has taken, and exits 0.
// Exit status 2 means it could not join the server or set up a port, 3 that a ring overflowed
// (events were lost: the recording is not to be trusted).
//
// The process callback only copies into a lock-free ring; a normal thread turns the ring into
// text. Formatting in the callback was rejected: it would make the recorder, not hexmidi, the
// thing that runs late under load. For the same reason the ring is touched and locked before the
// first cycle, and the test builds leave the recorder without sanitizers.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <pthread.h>
#include <sys/mman.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Ahead of each event's bytes in the ring.
struct EventHeader {
  std::uint32_t frame;
  std::uint32_t port;
  std::uint32_t length;
};

// A megabyte of system-exclusive arrives as many events within a few periods; the ring holds
// several such bursts while the writer catches up.
constexpr std::size_t ring_size = std::size_t{64} << 20;
// A client of the same name that is leaving (the previous run's recorder) still holds the name
// for a moment, under PipeWire in particular.
constexpr auto name_give_up = 10s;
constexpr auto status_interval = 20ms;

std::atomic<bool> overflowed{false};
std::atomic<std::uint64_t> cycles{0};
std::atomic<std::uint64_t> missed{0};
std::atomic<std::uint64_t> late{0};
std::atomic<std::uint64_t> overran{0};
std::atomic<int> xruns{0};
std::atomic<int> other_clients{0};
std::atomic<int> other_ports{0};
std::atomic<jack_nframes_t> last_cycle_start{0};  // written by the counting callback alone
// The last gaps, so that a loss can be laid beside them: written by the callback alone, in turn.
constexpr std::size_t gaps_kept = 64;
std::atomic<jack_nframes_t> gap_starts[gaps_kept];
std::atomic<jack_nframes_t> gap_ends[gaps_kept];
std::atomic<std::size_t> gaps{0};
std::atomic<int> thread_policy{-1};
std::atomic<int> thread_priority{-1};
std::atomic<bool> ring_locked{true};
// libjack's errors, kept for the status file rather than printed. Not from the process thread.
constexpr std::size_t errors_kept = 4;
std::mutex errors_lock;
std::vector<std::string> errors;
std::vector<std::string> our_clients;  // set before any callback runs, then only read
std::atomic<int> joined{0};
std::atomic<bool> shut_down{false};
char shutdown_reason[256] = "";
volatile std::sig_atomic_t stop_requested = 0;

struct WantedPort {
  std::string client;
  std::string name;  // without the client
  unsigned long flags = JackPortIsInput;
  std::vector<std::string> aliases;
};

struct Port {
  jack_port_t* port;
  std::uint32_t number;
};

// Each client has a ring of its own: its callback is then the ring's only writer.
struct Client {
  std::string name;
  jack_client_t* client = nullptr;
  jack_ringbuffer_t* ring = nullptr;
  std::vector<Port> ports;
};

void ignore_jack_message(const char*) {}

void keep_jack_error(const char* message) {
  const std::lock_guard<std::mutex> hold(errors_lock);
  if (errors.size() == errors_kept) errors.erase(errors.begin());
  errors.emplace_back(message);
  std::replace(errors.back().begin(), errors.back().end(), '\n', ' ');
}

void on_stop_signal(int) {
  stop_requested = 1;
}

void on_shutdown(jack_status_t, const char* reason, void*) {
  std::snprintf(shutdown_reason, sizeof shutdown_reason, "%s", reason);
  shut_down.store(true);
}

// A run that left nothing in a recording either never connected or sent nothing: this tells which.
// The server tells every client of every connection; ours are those to one of our ports.
void on_connect(jack_port_id_t, jack_port_id_t to, int connected, void* argument) {
  auto* client = static_cast<jack_client_t*>(argument);
  jack_port_t* port = jack_port_by_id(client, to);
  if (connected != 0 && port != nullptr && jack_port_is_mine(client, port) != 0) {
    joined.fetch_add(1);
  }
}

int on_xrun(void*) {
  xruns.fetch_add(1);
  return 0;
}

// Which step of a run that never connected went wrong: a client that never joined, or joined
// and registered no port (it found no destination), or registered one and never connected.
bool is_ours(const std::string& client) {
  return std::find(our_clients.begin(), our_clients.end(), client) != our_clients.end();
}

void on_client(const char* name, int registered, void*) {
  if (registered != 0 && !is_ours(name)) other_clients.fetch_add(1);
}

void on_port(jack_port_id_t id, int registered, void* argument) {
  jack_port_t* port = jack_port_by_id(static_cast<jack_client_t*>(argument), id);
  if (registered == 0 || port == nullptr) return;
  const std::string name = jack_port_name(port);
  if (!is_ours(name.substr(0, name.find(':')))) other_ports.fetch_add(1);
}

WantedPort parse_port(const std::string& argument) {
  WantedPort wanted;
  std::size_t bar = argument.find('|');
  std::string full = argument.substr(0, bar);
  std::size_t colon = full.find(':');
  wanted.client = full.substr(0, colon);
  wanted.name = colon == std::string::npos ? "in" : full.substr(colon + 1);
  while (bar != std::string::npos) {
    std::size_t next = argument.find('|', bar + 1);
    std::string field = argument.substr(bar + 1, next == std::string::npos ? next : next - bar - 1);
    if (field == "physical") wanted.flags |= JackPortIsPhysical;
    if (field == "terminal") wanted.flags |= JackPortIsTerminal;
    if (field.rfind("alias=", 0) == 0) wanted.aliases.push_back(field.substr(6));
    bar = next;
  }
  return wanted;
}

int process(jack_nframes_t frames, void* argument) {
  auto* self = static_cast<Client*>(argument);
  const jack_nframes_t cycle_start = jack_last_frame_time(self->client);
  for (const Port& port : self->ports) {
    void* buffer = jack_port_get_buffer(port.port, frames);
    const std::uint32_t count = jack_midi_get_event_count(buffer);
    for (std::uint32_t i = 0; i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, buffer, i) != 0) continue;
      EventHeader header{cycle_start + event.time, port.number,
                         static_cast<std::uint32_t>(event.size)};
      if (jack_ringbuffer_write_space(self->ring) < sizeof header + event.size) {
        overflowed.store(true, std::memory_order_relaxed);
        continue;
      }
      jack_ringbuffer_write(self->ring, reinterpret_cast<const char*>(&header), sizeof header);
      jack_ringbuffer_write(self->ring, reinterpret_cast<const char*>(event.buffer), event.size);
    }
  }
  return 0;
}

// Only ever called from the counting callback, so the gaps are written in turn.
void note_gap(jack_nframes_t from, jack_nframes_t to) {
  const std::size_t gap = gaps.load(std::memory_order_relaxed);
  gap_starts[gap % gaps_kept].store(from, std::memory_order_relaxed);
  gap_ends[gap % gaps_kept].store(to, std::memory_order_relaxed);
  gaps.store(gap + 1, std::memory_order_release);
}

// The first client's cycles stand for the server's. Each cycle starts one period after the last
// on the frame clock; a longer step means the server ran cycles without us.
int count_cycle(jack_nframes_t frames, void* argument) {
  auto* self = static_cast<Client*>(argument);
  const jack_nframes_t start = jack_last_frame_time(self->client);
  const jack_nframes_t last = last_cycle_start.load(std::memory_order_relaxed);
  const std::uint64_t cycle = cycles.load(std::memory_order_relaxed);
  if (cycle == 0) {
    int policy = 0;
    sched_param parameters{};
    if (pthread_getschedparam(pthread_self(), &policy, &parameters) == 0) {
      thread_policy.store(policy);
      thread_priority.store(parameters.sched_priority);
    }
  } else if (start - last > frames) {
    missed.fetch_add((start - last) / frames - 1, std::memory_order_relaxed);
    note_gap(last + frames, start);
  }
  last_cycle_start.store(start, std::memory_order_relaxed);
  if (jack_frames_since_cycle_start(self->client) >= frames) {
    late.fetch_add(1, std::memory_order_relaxed);
  }
  const int result = process(frames, argument);
  // The frame clock moves on as the next cycle begins, also under a callback still running.
  const jack_nframes_t now = jack_last_frame_time(self->client);
  if (now != start) {
    overran.fetch_add(1, std::memory_order_relaxed);
    note_gap(now, now + frames);
  }
  // Counted once its events are in the ring: see write_status.
  cycles.store(cycle + 1, std::memory_order_release);
  return result;
}

// Writes every whole event now in the ring. A header is only ever published together with its
// bytes (the callback writes both before the reader looks again), but a reader can still see the
// header first, so it waits for the bytes rather than reading half an event.
bool write_events(jack_ringbuffer_t* ring, std::FILE* out, std::vector<unsigned char>& bytes) {
  bool wrote = false;
  for (;;) {
    EventHeader header{};
    if (jack_ringbuffer_read_space(ring) < sizeof header) return wrote;
    jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&header), sizeof header);
    if (jack_ringbuffer_read_space(ring) < sizeof header + header.length) return wrote;
    jack_ringbuffer_read_advance(ring, sizeof header);
    bytes.resize(header.length);
    jack_ringbuffer_read(ring, reinterpret_cast<char*>(bytes.data()), header.length);
    std::fprintf(out, "%u %u", header.frame, header.port);
    for (unsigned char byte : bytes) std::fprintf(out, " %02X", byte);
    std::fputc('\n', out);
    wrote = true;
  }
}

Client* client_named(std::vector<std::unique_ptr<Client>>& clients, const std::string& name) {
  for (auto& client : clients) {
    if (client->name == name) return client.get();
  }
  clients.push_back(std::make_unique<Client>());
  clients.back()->name = name;
  return clients.back().get();
}

jack_client_t* open_exactly(const std::string& name) {
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    jack_status_t status{};
    jack_client_t* client =
        jack_client_open(name.c_str(), JackOptions(JackNoStartServer | JackUseExactName), &status);
    if (client != nullptr || (status & JackNameNotUnique) == 0 ||
        std::chrono::steady_clock::now() - started > name_give_up) {
      if (client == nullptr) {
        std::fprintf(stderr, "jack_recorder: %s could not join the server (status 0x%x)\n",
                     name.c_str(), static_cast<unsigned>(status));
      }
      return client;
    }
    std::this_thread::sleep_for(10ms);
  }
}

// Opens every client, then registers the ports in the order given, then activates.
bool set_up(const std::vector<WantedPort>& wanted_ports,
            std::vector<std::unique_ptr<Client>>& clients) {
  for (const WantedPort& wanted : wanted_ports) client_named(clients, wanted.client);
  for (auto& client : clients) our_clients.push_back(client->name);
  for (auto& client : clients) {
    client->client = open_exactly(client->name);
    if (client->client == nullptr) return false;
    client->ring = jack_ringbuffer_create(ring_size);
    if (client->ring == nullptr) return false;
    std::memset(client->ring->buf, 0, client->ring->size);
    // mlock itself: jack_ringbuffer_mlock does nothing where libjack is built without it (Debian).
    if (mlock(client->ring->buf, client->ring->size) != 0) ring_locked.store(false);
  }
  for (std::uint32_t number = 0; number < wanted_ports.size(); ++number) {
    const WantedPort& wanted = wanted_ports[number];
    Client* client = client_named(clients, wanted.client);
    jack_port_t* port = jack_port_register(client->client, wanted.name.c_str(),
                                           JACK_DEFAULT_MIDI_TYPE, wanted.flags, 0);
    if (port == nullptr) {
      std::fprintf(stderr, "jack_recorder: could not register %s:%s\n", wanted.client.c_str(),
                   wanted.name.c_str());
      return false;
    }
    for (const std::string& alias : wanted.aliases) {
      if (jack_port_set_alias(port, alias.c_str()) != 0) {
        std::fprintf(stderr, "jack_recorder: could not set alias %s\n", alias.c_str());
        return false;
      }
    }
    client->ports.push_back({port, number});
  }
  for (auto& client : clients) {
    jack_on_info_shutdown(client->client, on_shutdown, nullptr);
    jack_set_port_connect_callback(client->client, on_connect, client->client);
    if (client == clients.front()) {
      jack_set_xrun_callback(client->client, on_xrun, nullptr);
      jack_set_client_registration_callback(client->client, on_client, nullptr);
      jack_set_port_registration_callback(client->client, on_port, client->client);
    }
    auto callback = client == clients.front() ? count_cycle : process;
    if (jack_set_process_callback(client->client, callback, client.get()) != 0 ||
        jack_activate(client->client) != 0) {
      std::fprintf(stderr, "jack_recorder: could not activate %s\n", client->name.c_str());
      return false;
    }
  }
  return true;
}

void close_all(std::vector<std::unique_ptr<Client>>& clients) {
  for (auto& client : clients) {
    if (client->client != nullptr) jack_client_close(client->client);
    client->client = nullptr;
  }
}

// Written aside and renamed over the status file, so that a reader never sees half of it.
// Once the server has dropped us, only that is said: our ports are gone with it.
// `done`: the cycles counted before the events were last written out, so that a reader that sees
// a cycle counted finds the events it took already in the output file.
void write_status(const std::string& path, const std::vector<std::unique_ptr<Client>>& clients,
                  std::uint64_t done) {
  const bool dropped = shut_down.load();
  std::vector<std::string> ours;
  int connections = 0;
  for (const auto& client : clients) {
    if (dropped) break;
    for (const Port& port : client->ports) {
      ours.emplace_back(jack_port_name(port.port));
      connections += jack_port_connected(port.port);
    }
  }
  std::vector<std::string> others;
  jack_client_t* asker = clients.front()->client;
  if (const char** names =
          dropped ? nullptr
                  : jack_get_ports(asker, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput)) {
    // Each of ours once: PipeWire lets a client take a name that a leaving one still holds, and
    // the leaving one's port, listed under the same name, is not ours.
    std::vector<std::string> unseen = ours;
    for (const char** name = names; *name != nullptr; ++name) {
      auto found = std::find(unseen.begin(), unseen.end(), *name);
      if (found == unseen.end()) {
        others.emplace_back(*name);
      } else {
        unseen.erase(found);
      }
    }
    jack_free(names);
  }
  const std::string aside = path + ".new";
  std::FILE* status = std::fopen(aside.c_str(), "w");
  if (status == nullptr) return;
  // A PipeWire graph on a busy machine can take seconds to run a new client's first cycle: one
  // that has run none yet would miss what a program started now sends.
  const bool ready = others.empty() && done > 0;
  std::fprintf(status, "state %s\n", dropped ? "dropped" : ready ? "ready" : "waiting");
  for (const std::string& name : ours) std::fprintf(status, "port %s\n", name.c_str());
  for (const std::string& name : others) std::fprintf(status, "listed %s\n", name.c_str());
  std::fprintf(status, "cycles %llu\nframe %u\nconnections %d\njoined %d\n",
               static_cast<unsigned long long>(done), last_cycle_start.load(), connections,
               joined.load());
  std::fprintf(status, "missed %llu\nlate %llu\noverran %llu\nxruns %d\nclients %d\nports %d\n",
               static_cast<unsigned long long>(missed.load()),
               static_cast<unsigned long long>(late.load()),
               static_cast<unsigned long long>(overran.load()), xruns.load(), other_clients.load(),
               other_ports.load());
  const std::size_t gap_count = gaps.load(std::memory_order_acquire);
  for (std::size_t gap = gap_count - std::min(gap_count, gaps_kept); gap < gap_count; ++gap) {
    std::fprintf(status, "missed_at %u %u\n", gap_starts[gap % gaps_kept].load(),
                 gap_ends[gap % gaps_kept].load());
  }
  std::fprintf(status, "thread %d %d\nlocked %s\n", thread_policy.load(), thread_priority.load(),
               ring_locked.load() ? "yes" : "no");
  {
    const std::lock_guard<std::mutex> hold(errors_lock);
    for (const std::string& error : errors) std::fprintf(status, "error %s\n", error.c_str());
  }
  if (dropped) std::fprintf(status, "shutdown %s\n", shutdown_reason);
  if (std::fclose(status) == 0) std::rename(aside.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: jack_recorder <output file> <status file> [port...]\n");
    return 1;
  }
  std::vector<WantedPort> wanted_ports;
  for (int i = 3; i < argc; ++i) wanted_ports.push_back(parse_port(argv[i]));
  if (wanted_ports.empty()) wanted_ports.push_back(parse_port("recorder"));
  std::signal(SIGTERM, on_stop_signal);
  std::signal(SIGINT, on_stop_signal);
  jack_set_error_function(keep_jack_error);
  jack_set_info_function(ignore_jack_message);

  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 1;
  std::vector<std::unique_ptr<Client>> clients;
  if (!set_up(wanted_ports, clients)) {
    close_all(clients);
    return 2;
  }

  std::vector<unsigned char> bytes;
  auto status_due = std::chrono::steady_clock::now();
  while (stop_requested == 0) {
    const std::uint64_t done = cycles.load(std::memory_order_acquire);
    bool wrote = false;
    for (auto& client : clients) wrote |= write_events(client->ring, out, bytes);
    if (wrote) std::fflush(out);
    if (std::chrono::steady_clock::now() >= status_due) {
      write_status(argv[2], clients, done);
      status_due = std::chrono::steady_clock::now() + status_interval;
    }
    std::this_thread::sleep_for(2ms);
  }
  // Deactivating waits for the callback to finish its last cycle; whatever it took is then in
  // the ring and is written out before exit.
  for (auto& client : clients) {
    jack_deactivate(client->client);
    write_events(client->ring, out, bytes);
  }
  write_status(argv[2], clients, cycles.load());  // the counts of the whole recording
  close_all(clients);
  const bool lost = overflowed.load();
  if (std::fclose(out) != 0) return 1;
  for (auto& client : clients) jack_ringbuffer_free(client->ring);
  return lost ? 3 : 0;
}
