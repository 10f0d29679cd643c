// What one period of a JACK MIDI port can carry, beyond what the port's buffer
// (jack_midi_max_event_size) says, by the way its events go on: under PipeWire's libjack, into
// JACK2's network driver, into PipeWire's RTP-MIDI sink. On jackd's own graph, all the buffer takes.
//
// PipeWire's libjack turns each period's events into a sequence of controls in a buffer of 32,768
// bytes, fixed in its code whatever the port buffer's size (and the shared buffer the sequence is
// copied to has the port buffer's size: 4 x the client's clock.quantum-limit, 32,768 by default).
// The sequence's header takes 16 bytes, and each control 16 more than its bytes, padded to 8. No
// version checks what overflows that buffer: the whole period is lost (the builder leaves its
// header empty), and from 1.0 on the copy of it runs past the end of the shared buffer, which
// crashed hexmidi on PipeWire's data thread. And from 1.3.81 up to 1.6.2 each event is converted to
// MIDI 2.0 packets (UMP) first, each packet a control of 24 bytes: a short message is one, a
// system-exclusive message one for each 6 of its data bytes. So a burst of short messages holds
// 1,364 of them a period, where jackd's buffer holds 2,727, and on those versions a SysEx of about
// 8 KB fills a period. Every period is kept within that budget, and what does not fit waits for the
// next one, as it does when the port's buffer is full.
// Rejected: a fixed small cap on every server (jackd's users would lose half their burst rate),
// and trusting jack_midi_max_event_size, which counts the port buffer, not PipeWire's sequence.
//
// netjack2 (JACK2's net driver on a slave, its netmanager on a master; 1.9.21, 1.9.22 and master
// alike) copies each period's MIDI between its ports and the network in NetMidiBuffer
// (common/JackNetTool.cpp). Two faults there lose what jackd's own ports carry:
// - An event of more than 4 bytes keeps its bytes out of line, at the far end of the port buffer,
//   and RenderFromJackPorts/RenderToJackPorts add that offset to a JackMidiBuffer* (pointer
//   arithmetic in units of the 36-byte struct, not bytes): the bytes are read from, and written
//   to, some 36 times as far, past the buffer. A SysEx of 100 bytes came out as 100 zeros; one of
//   1,000, or a few of 6, crashed the slave with SIGSEGV.
// - The network buffer is 4 bytes a frame for each MIDI port, 1,024 at 256 frames, and the port's
//   header (36 bytes), 12 bytes for each event and the out-of-line bytes are copied into it with
//   no check: a period of more than 82 events at 256 frames overran it, and a burst of notes
//   crashed the slave too.
// So there every event holds 4 bytes at most, inline (a long message goes as pieces of 4, each an
// event of its own, in order: the receiving clients read MIDI as a stream of bytes, as they must
// for a long SysEx on jackd too), and a period holds what one port's share of the network buffer
// holds. At 256 frames and 48 kHz that is 82 events a period, 15,375 short messages a second, or
// 328 bytes of SysEx a period, 61,500 a second; about a third of the sample rate in events a
// second at any period. A MIDI cable carries 3,125 bytes a second.
//
// RTP-MIDI through PipeWire (module-rtp-sink, and module-rtp-session's AppleMIDI, which share
// src/modules/module-rtp/midi.c; read at 1.4.2 and 1.6.8, run at 1.4.2 and 1.6.9) loses more:
// - The sink is a node of the server, not a JACK client, and the server mixes what reaches its
//   input port into a buffer of clock.quantum-limit bytes (spa/plugins/control/mixer.c: 8,192 by
//   default, a quarter of the JACK port buffer that PipeWire's libjack sizes from the same
//   setting). A period over that is dropped whole ("control overflow"): a burst of notes arrived
//   as nothing at all, the reset after it too. A short message is a control of 24 bytes there, raw
//   or as UMP: 340 of them fill it. The far end hands what it received on into a buffer of the
//   same kind (its destination's mixer, 8,192 bytes where that is a node of the server such as the
//   ALSA bridge, 32,768 for a JACK client) and drops the whole of a cycle that overflows it
//   ("overflow buffer").
// - The far end (module-rtp-source, or the session's other end) reads each command by its status
//   byte alone (get_midi_size): channel messages, 80 to EF; F0, F7 and FF read as a length in the
//   Standard MIDI File's way, which RTP-MIDI does not use. Anything else is invalid, and so is the
//   rest of its packet: 1.4.2 drops what follows in the packet and turns a SysEx into whatever
//   bytes follow its F0 (a SysEx of 1,000 bytes arrived as pieces of its start), and 1.6.x, whose
//   check of that length is inverted so that every length fails, drops the whole packet, notes
//   sent with it included. And the 1.4.2 sender passes a SysEx on as UMP's pieces of 6 bytes, each
//   a command of its own with no status byte.
// - The far end plays a packet's commands at the time it reckons from the packet's RTP timestamp,
//   which starts at a random offset, and keeps that reckoning in floats: the timestamp goes through
//   a float in RTP units (a step of 256 at 10 kHz, 25.6 ms, above 2^31) and the last one is kept as
//   a float in seconds (a step of 1/32 s above 262,144 s), and so is the far end's own time of it.
//   Packets less than both steps apart may be given one time, which that last float may set back a
//   little, and a packet whose time falls in a cycle already played is dropped as old: on 1.4.2 one
//   packet in forty was, sent every period, and one in 324 with 31 ms between packets. Packets
//   56.85 ms apart each get a time of their own, later than the last: 100,000 short messages then
//   arrived whole and in order on 1.4.2 and 1.6.9, with the worst offsets.
// So there a period carries events only once 56.85 ms have passed since the last one that did,
// and then one packet's worth at the default net.mtu (309 short messages), within both mixers: at
// 256 frames and 48 kHz a period in twelve, 4,800 short messages a second, and an event may wait
// up to 59 ms behind the one before. Only channel messages go, as short messages; a long message
// or a system message (F1 to FF) is refused whole, so that it cannot take the notes around it with
// it, nor reach the far end as bytes that were never sent.
// Rejected: a period of its own for each such event, which kept the notes but let 1.4.2's far end
// pass a SysEx's garbled start on; sending a long message that is a channel message, which the
// sender passes as one command only on 1.6; and a share of every period, as for netjack2, which
// left packets a period apart to be given one time (2,520 of 100,000 lost on 1.4.2).
#pragma once

#include <cstddef>
#include <cstdint>

namespace winmm_standin {

// How the libjack in use carries a MIDI port's events.
enum class MidiCarriage {
  jack,     // jackd: the port buffer is the whole limit, and libjack checks it
  raw,      // PipeWire up to 1.3.80, and from 1.6.3 on: each event as a control of its own
  ump,      // PipeWire 1.3.81 to 1.6.2: each event converted to UMP packets, a control each
  unknown,  // PipeWire whose version cannot be told: the dearer of the two
  net,      // jackd's netjack2: inline events of 4 bytes at most, the network buffer's share
  rtp,      // PipeWire's RTP-MIDI sink: channel messages alone, within the server's mixer buffer
};

// From jack_get_version_string(): "<JACK version> (using PipeWire <version>)" under PipeWire's
// libjack, a bare version under jackd's.
MidiCarriage midi_carriage(const char* version_string);

// What an event is, for what it costs as UMP.
enum class EventKind {
  message,           // a short message: one packet
  system_exclusive,  // a SysEx, or a piece of one: a packet for each 6 bytes
  other,             // a long message that is no SysEx: at most a packet a byte
  system_message,    // a short message of the system, F1 to FF: one packet
};

class PeriodBudget {
 public:
  // jackd's: no limit beyond the port buffer's.
  PeriodBudget() = default;
  // `buffer_size`: jack_port_type_get_buffer_size for MIDI (the shared buffer's size, which also
  // sizes the mixers' buffers around RTP-MIDI); `frames`: the period (jack_get_buffer_size), which
  // sizes netjack2's network buffer; `rate` (jack_get_sample_rate) gives RTP-MIDI's share.
  PeriodBudget(MidiCarriage carriage, std::size_t buffer_size, std::size_t frames = 0,
               std::size_t rate = 48000);

  bool under_pipewire() const {
    return carriage_ != MidiCarriage::jack && carriage_ != MidiCarriage::net;
  }
  // `frames`: this period's, where the carriage's share depends on it (RTP-MIDI; PipeWire may
  // change its quantum while a client runs).
  void start_period(std::size_t frames = 0);
  // Whether an event of `length` bytes fits what is left of this period; if so, it is counted.
  bool take(std::size_t length, EventKind kind);
  // Whether an event of `length` bytes fits a whole period: one that does not goes in pieces.
  bool fits_a_period(std::size_t length, EventKind kind) const;
  // The longest piece of a long message that fits what is left of this period.
  std::size_t longest_piece(EventKind kind) const;
  // Whether a period may hold more than one piece of a long message: where each event is small
  // (netjack2), rather than where a piece takes all the room the period has left.
  bool many_pieces_a_period() const { return carriage_ == MidiCarriage::net; }
  // How much of jack_midi_max_event_size() an event may take. PipeWire up to 1.4.2 writes an event
  // of exactly that size one byte into its own header (its first byte then points the event at
  // gigabytes past the buffer): one byte less is always safe.
  std::size_t usable_room(std::size_t max_event_size) const;
  // Whether a piece of a SysEx after its first needs an F7 in front. Where PipeWire converts to
  // UMP, it drops an event that begins with a data byte, and takes one that begins with F7 for
  // the rest of a SysEx (Continue and End packets, the F7 itself not carried): so the pieces of
  // a long SysEx arrive whole, and the destination gets exactly the bytes sent.
  bool continuation_needs_f7() const { return carriage_ == MidiCarriage::ump; }
  // Whether a message of `length` bytes can go at all: where PipeWire converts to UMP, a piece of
  // a long message that is no SysEx and begins with a data byte would be dropped, so one longer
  // than a period cannot be sent whole; into RTP-MIDI only short channel messages arrive.
  bool can_send(std::size_t length, EventKind kind) const;

 private:
  std::size_t cost(std::size_t length, EventKind kind) const;
  std::size_t of_carriage(std::size_t raw, std::size_t ump, bool larger_is_safer) const;

  MidiCarriage carriage_ = MidiCarriage::jack;
  std::size_t capacity_ = 0;  // bytes of controls a period holds
  std::size_t rate_ = 0;      // frames a second, for RTP-MIDI's quiet time
  // RTP-MIDI: whether this period took an event; the quiet time since the last one that did (a
  // run starts as if it had been quiet for ever), and the length of the period before.
  bool sent_ = false;
  std::size_t quiet_us_ = 0;
  std::size_t previous_us_ = 0;
  std::size_t left_ = 0;
};

}  // namespace winmm_standin
