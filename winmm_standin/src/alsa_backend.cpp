// Device 0 on the ALSA sequencer: our client "hexmidi" with one port "out", connected to the
// first destination (see alsa_destination_choice.cpp), every event sent straight to our
// subscribers with blocking output, no queue. Timing is the input stream's: a queue would only
// add latency, and would give no back-pressure either, since the kernel drops what a receiver
// has no room for wherever the event comes from.
//
// Nothing is dropped on the way: before each event we wait until the destination has room for
// it. A user-space client (a synthesizer, aseqdump) shows its free input cells; a port backed by
// a raw MIDI device shows nothing, so we keep our own estimate of its output buffer, which
// empties at the wire rate. Long messages go out as system-exclusive events in chunks that fit.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <thread>
#include <vector>

#include "alsa_client_room.h"
#include "alsa_destination_choice.h"
#include "backend.h"
#include "reading_thread_priority.h"
#include "wire_pacing.h"

namespace winmm_standin {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How far ahead of the wire we let a raw MIDI device's output buffer fill: 128 bytes, 41 ms of
// wire time. The buffer holds 4 KiB, but what is in it can't be taken back, and a reset after a
// stop waits behind all of it: a full buffer would hold it for 1.3 s, this lead for a tenth of
// that, so the reset is on the wire within 100 ms of the stop. It is still ahead by more than a
// wake-up that comes late on a busy machine, so the wire hardly ever idles.
constexpr std::size_t device_lead = 128;
// Chunks to a device port: half the lead, so that one can go while the other is on the wire
// (about fifty calls a second at the wire rate, a negligible cost).
constexpr std::size_t device_chunk_size = device_lead / 2;
// Chunks to a client with an input pool: at most half its pool, so that it can read one while
// the next arrives, and never near the 16 KB that the kernel's default pools refuse in one event.
constexpr std::size_t largest_chunk_size = 4096;
// One cell of a sequencer pool holds one event, or this many bytes of a variable-length one.
constexpr std::size_t cell_bytes = sizeof(snd_seq_event_t);

constexpr auto wait_step = 200us;
constexpr auto longest_progress_wait = 1ms;
// A destination that makes no room for this long is taken to be stuck for good: the calls that
// follow fail rather than hang the program.
constexpr auto stuck_give_up = 5s;

// The sequencer delivers each event as it is sent, so a live stream's timing is the moment the
// program's thread wakes to read (see winmm_standin_live_input). It goes to the lowest real-time
// priority: above every ordinary process, which is all its timing needs, and below everything
// else that runs real-time (a synthesizer's audio and MIDI threads, a sound server's, the
// kernel's interrupt threads at 50), none of which may ever wait for our parsing. There is no
// server here to tell us where audio threads begin, as JACK does. Any RLIMIT_RTPRIO that allows
// real-time at all allows it, however low it was set.
constexpr int reading_priority = 1;

// How long a destination may make no room before it is given up: briefly once the program is
// stopping, so that the reset and close after a stop never wait seconds for it.
Clock::duration give_up_after() {
  return program_stopping() ? Clock::duration(stopping_grace) : Clock::duration(stuck_give_up);
}

void ignore_alsa_error(const char*, int, const char*, int, const char*, ...) {}

// libasound prints "ALSA lib ..." lines to stderr from its first call on (a missing
// /dev/snd/seq is one) unless its error handler is replaced first.
void silence_libasound() {
  snd_lib_error_set_handler(ignore_alsa_error);
}

std::size_t cells_for(const snd_seq_event_t& event) {
  if (!snd_seq_ev_is_variable(&event)) return 1;
  return 1 + (event.data.ext.len + cell_bytes - 1) / cell_bytes;
}

std::vector<SequencerPort> list_sequencer_ports(snd_seq_t* seq) {
  std::vector<SequencerPort> ports;
  snd_seq_client_info_t* client = nullptr;
  snd_seq_port_info_t* port = nullptr;
  if (snd_seq_client_info_malloc(&client) < 0) return ports;
  if (snd_seq_port_info_malloc(&port) < 0) {
    snd_seq_client_info_free(client);
    return ports;
  }
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    int client_id = snd_seq_client_info_get_client(client);
    snd_seq_port_info_set_client(port, client_id);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq, port) >= 0) {
      const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
      SequencerPort entry;
      entry.client = client_id;
      entry.port = snd_seq_port_info_get_port(port);
      entry.client_name = snd_seq_client_info_get_name(client);
      entry.is_kernel_client = snd_seq_client_info_get_type(client) == SND_SEQ_KERNEL_CLIENT;
      const unsigned capability = snd_seq_port_info_get_capability(port);
      entry.takes_writes = (capability & writable) == writable;
      entry.is_no_export = (capability & SND_SEQ_PORT_CAP_NO_EXPORT) != 0;
      entry.is_device_port = (snd_seq_port_info_get_type(port) & SND_SEQ_PORT_TYPE_PORT) != 0;
      entry.port_name = snd_seq_port_info_get_name(port);
      ports.push_back(entry);
    }
  }
  snd_seq_port_info_free(port);
  snd_seq_client_info_free(client);
  return ports;
}

enum class Room { ready, not_yet, gone };

class AlsaBackend final : public MidiBackend {
 public:
  ~AlsaBackend() override;

  bool open();

  MMRESULT send_message(const std::uint8_t* bytes, std::size_t length) override;
  MMRESULT start_long_message(const std::uint8_t* bytes, std::size_t length) override;
  bool advance_long_message() override;
  void abandon_long_message() override;
  void drain() override;

 private:
  bool connect_to_device_zero();
  void choose_chunk_size();
  snd_seq_event_t encode_short_message(const std::uint8_t* bytes, std::size_t length);
  snd_seq_event_t make_bytes_event(const std::uint8_t* bytes, std::size_t length);
  Room room_for(const snd_seq_event_t& event, std::size_t wire_bytes, Clock::duration& wait);
  Room try_send(snd_seq_event_t& event, std::size_t wire_bytes, Clock::duration& wait);
  bool send_waiting(snd_seq_event_t& event, std::size_t wire_bytes);
  bool destination_present();
  bool send_next_chunk_within(Clock::time_point deadline);
  bool finish_long_message();
  void give_up_destination();

  snd_seq_t* seq_ = nullptr;
  snd_midi_event_t* encoder_ = nullptr;
  snd_seq_port_info_t* port_info_ = nullptr;  // scratch for presence checks
  int fd_ = -1;
  int own_port_ = -1;
  SequencerPort destination_;
  WirePacer pacer_{device_lead};
  bool paced_ = false;  // a device port, or aseqnet's: bytes at the wire rate
  std::size_t chunk_size_ = largest_chunk_size;
  bool gone_ = false;
  ReadingThreadPriority reading_priority_;

  const std::uint8_t* long_bytes_ = nullptr;
  std::size_t long_length_ = 0;
  std::size_t long_sent_ = 0;
  bool long_active_ = false;
  Clock::time_point long_progress_at_{};
};

AlsaBackend::~AlsaBackend() {
  if (encoder_ != nullptr) snd_midi_event_free(encoder_);
  if (port_info_ != nullptr) snd_seq_port_info_free(port_info_);
  if (seq_ != nullptr) snd_seq_close(seq_);
}

bool AlsaBackend::open() {
  silence_libasound();
  if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_OUTPUT, 0) < 0) {
    seq_ = nullptr;
    return false;
  }
  if (snd_seq_set_client_name(seq_, "hexmidi") < 0) return false;
  if (snd_seq_port_info_malloc(&port_info_) < 0) return false;
  if (snd_midi_event_new(16, &encoder_) < 0) return false;
  pollfd descriptor{};
  if (snd_seq_poll_descriptors(seq_, &descriptor, 1, POLLOUT) != 1) return false;
  fd_ = descriptor.fd;
  if (!connect_to_device_zero()) return false;
  // Last: only a port that is open and connected is a reason to read at real-time priority.
  reading_priority_.raise(reading_priority);
  return true;
}

// The thread reads on without a port, so at normal priority.
void AlsaBackend::give_up_destination() {
  gone_ = true;
  reading_priority_.lower();
}

// The destination is looked for before our port exists, so that a sequencer without one costs
// little and shows no port of ours.
bool AlsaBackend::connect_to_device_zero() {
  auto chosen = choose_device_zero(list_sequencer_ports(seq_), snd_seq_client_id(seq_));
  if (!chosen) return false;
  destination_ = *chosen;
  own_port_ =
      snd_seq_create_simple_port(seq_, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                 SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (own_port_ < 0) return false;
  if (snd_seq_connect_to(seq_, own_port_, destination_.client, destination_.port) < 0) return false;
  paced_ = destination_.is_device_port || is_aseqnet(destination_);
  choose_chunk_size();
  return true;
}

// aseqnet is paced as a cable is: it loses what comes faster than the other end takes, and garbles
// what it carries in large pieces. Its other end hands on each event the moment it is read,
// without a look at its destination's room (the sequencer then drops it when the destination's
// pool is full) and without waiting (a full output buffer drops it too): a burst of 100,000 notes
// lost one in nine at aseqdump. And it reads the TCP stream in slices of up to 5,600 bytes with no
// framing of its own, taking each slice to begin with an event: once more than a slice waits, as
// under a burst, a slice's end falls inside a SysEx event and the rest of the stream is read from
// the wrong place (a SysEx of 64 KiB, in events of 4 KiB, came out garbled). Nothing at this end
// shows how far the other end has got, so what is sent must stay slow enough for any receiver:
// the MIDI wire rate, which every synthesizer and device keeps up with, in events of 64 bytes
// that never come near a slice. It carries a SysEx of 64 KiB in 21 s, and 1,000 short messages a
// second. Rejected: a faster rate, which no measure at this end can show to be safe on the other.
void AlsaBackend::choose_chunk_size() {
  if (paced_) chunk_size_ = device_chunk_size;
  if (auto room = query_client_room(fd_, destination_.client); room && room->cells > 2) {
    auto half_pool = (static_cast<std::size_t>(room->cells) / 2 - 1) * cell_bytes;
    chunk_size_ = std::min(chunk_size_, half_pool);
  }
}

// A complete event of the kind the bytes make (note on, controller, clock, ...), as a receiving
// synthesizer expects. The few statuses the sequencer has no event for (the undefined F9 and FD)
// go as raw bytes, which a device port writes out unchanged.
snd_seq_event_t AlsaBackend::encode_short_message(const std::uint8_t* bytes, std::size_t length) {
  snd_seq_event_t event;
  snd_seq_ev_clear(&event);
  snd_midi_event_reset_encode(encoder_);
  bool complete = false;
  for (std::size_t i = 0; i < length; ++i) {
    if (snd_midi_event_encode_byte(encoder_, bytes[i], &event) == 1) complete = true;
  }
  if (!complete || event.type == SND_SEQ_EVENT_NONE) return make_bytes_event(bytes, length);
  return event;
}

snd_seq_event_t AlsaBackend::make_bytes_event(const std::uint8_t* bytes, std::size_t length) {
  snd_seq_event_t event;
  snd_seq_ev_clear(&event);
  snd_seq_ev_set_sysex(&event, static_cast<unsigned>(length), const_cast<std::uint8_t*>(bytes));
  return event;
}

bool AlsaBackend::destination_present() {
  return snd_seq_get_any_port_info(seq_, destination_.client, destination_.port, port_info_) >= 0;
}

Room AlsaBackend::room_for(const snd_seq_event_t& event, std::size_t wire_bytes,
                           Clock::duration& wait) {
  wait = wait_step;
  if (!destination_present()) return Room::gone;
  if (!destination_.is_kernel_client) {
    auto room = query_client_room(fd_, destination_.client);
    if (!room) return Room::gone;
    if (static_cast<std::size_t>(room->free_cells) < cells_for(event)) return Room::not_yet;
  }
  if (paced_) {
    wait = pacer_.wait_for(wire_bytes, Clock::now());
    if (wait > Clock::duration::zero()) return Room::not_yet;
  }
  return Room::ready;
}

Room AlsaBackend::try_send(snd_seq_event_t& event, std::size_t wire_bytes, Clock::duration& wait) {
  if (gone_) return Room::gone;
  Room room = room_for(event, wire_bytes, wait);
  if (room != Room::ready) return room;
  snd_seq_ev_set_source(&event, static_cast<unsigned char>(own_port_));
  snd_seq_ev_set_subs(&event);
  snd_seq_ev_set_direct(&event);
  int result = snd_seq_event_output_direct(seq_, &event);
  // Full after all: someone else filled the destination since we looked. Or a signal came in
  // while the write waited: it is the program's to answer, and the event has not gone.
  if (result == -EAGAIN || result == -ENOMEM || result == -EINTR) return Room::not_yet;
  if (result < 0) return Room::gone;
  if (paced_) pacer_.note_sent(wire_bytes, Clock::now());
  return Room::ready;
}

bool AlsaBackend::send_waiting(snd_seq_event_t& event, std::size_t wire_bytes) {
  auto stuck_since = Clock::now();
  for (;;) {
    Clock::duration wait{};
    Room room = try_send(event, wire_bytes, wait);
    if (room == Room::ready) return true;
    // Pacing waits are the wire's own pace, not a stuck destination. The limit is looked up
    // anew each time, as a stop may come in during the wait.
    auto now = Clock::now();
    if (room == Room::gone || (wait <= wait_step && now - stuck_since >= give_up_after())) {
      give_up_destination();
      return false;
    }
    if (wait > wait_step) stuck_since = now + wait;
    std::this_thread::sleep_for(std::min<Clock::duration>(wait, stopping_grace));
  }
}

MMRESULT AlsaBackend::send_message(const std::uint8_t* bytes, std::size_t length) {
  // Whatever is sent after a long message follows all of it.
  if (long_active_ && !finish_long_message()) return MMSYSERR_NODRIVER;
  if (gone_) return MMSYSERR_NODRIVER;
  snd_seq_event_t event = encode_short_message(bytes, length);
  return send_waiting(event, length) ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
}

MMRESULT AlsaBackend::start_long_message(const std::uint8_t* bytes, std::size_t length) {
  if (gone_) return MMSYSERR_NODRIVER;
  long_bytes_ = bytes;
  long_length_ = length;
  long_sent_ = 0;
  long_active_ = true;
  long_progress_at_ = Clock::now();
  send_next_chunk_within(Clock::now());
  return MMSYSERR_NOERROR;
}

// Sends chunks while the destination has room, waiting for it until the deadline. True when the
// message is over: all of it sent, or the destination gone.
bool AlsaBackend::send_next_chunk_within(Clock::time_point deadline) {
  while (long_sent_ < long_length_) {
    std::size_t chunk = std::min(chunk_size_, long_length_ - long_sent_);
    snd_seq_event_t event = make_bytes_event(long_bytes_ + long_sent_, chunk);
    Clock::duration wait{};
    Room room = try_send(event, chunk, wait);
    if (room == Room::gone) {
      give_up_destination();
      break;
    }
    auto now = Clock::now();
    if (room == Room::ready) {
      long_sent_ += chunk;
      long_progress_at_ = now;
      continue;
    }
    // Pacing waits are the wire's own pace, not a stuck destination.
    if (wait <= wait_step && now - long_progress_at_ > give_up_after()) {
      give_up_destination();
      break;
    }
    if (wait > wait_step) long_progress_at_ = now + wait;
    if (now >= deadline) return false;
    // A pacing wait is known to the microsecond: sleep it out up to the deadline rather than in
    // steps of wait_step, which woke a message paced to a device five thousand times a second.
    std::this_thread::sleep_for(std::min<Clock::duration>(wait, deadline - now));
  }
  long_active_ = false;
  return true;
}

bool AlsaBackend::advance_long_message() {
  if (!long_active_) return true;
  return send_next_chunk_within(Clock::now() + longest_progress_wait);
}

bool AlsaBackend::finish_long_message() {
  while (!advance_long_message()) {
  }
  return !gone_;
}

void AlsaBackend::abandon_long_message() {
  long_active_ = false;
}

// Every event has reached the destination once the blocking output has taken it: a client's
// input pool keeps what it has not read after we close, and the kernel drains a raw MIDI device's
// buffer before it lets go of the device when our subscription ends.
void AlsaBackend::drain() {
  if (long_active_) finish_long_message();
  snd_seq_drain_output(seq_);
}

}  // namespace

std::unique_ptr<MidiBackend> open_alsa_backend() {
  auto backend = std::make_unique<AlsaBackend>();
  if (!backend->open()) return nullptr;
  return backend;
}

}  // namespace winmm_standin
